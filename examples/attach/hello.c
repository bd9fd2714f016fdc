/* A tiny console program; its resources are attached by the build. */
#include <stdio.h>

int main(void)
{
    puts("hello");
    return 0;
}
