/* A tiny console program: the executable built from it is test data for
   merging resources into a real PE file. */
#include <stdio.h>

int main(void)
{
    puts("hello");
    return 0;
}
