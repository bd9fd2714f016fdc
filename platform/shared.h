// What the platform layer's files share among themselves, and nothing
// outside platform/ includes.
#pragma once

#include <string>

// The XXXXXX at the end of pattern replaced by six letters and digits.
void fill_temporary_name(std::string& pattern);
