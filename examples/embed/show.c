/* Prints the resources compiled into this program, and then those of the
 * library it links, each module reading its own. */
#include "print.h"

int words_show(void);

int main(void)
{
    const int shown = print_own_resources("show");
    return words_show() != 0 || shown != 0;
}
