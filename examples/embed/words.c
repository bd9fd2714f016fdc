/* A shared library (a DLL on Windows) with resources of its own, which it
 * prints when the program asks. */
#include "print.h"

int words_show(void)
{
    return print_own_resources("words");
}
