#include "driver/driver.h"

int main(int argc, char** argv)
{
    return tamb_main(argc, argv);
}
