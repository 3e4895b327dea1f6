#include "driver.h"
#include "fail.h"
#include "system/system.h"
#include "turn/pair.h"

void OUTPUT_NAMES(const std::string& input, std::string* left, std::string* right) {
    // Only the last path component is searched, so "./take1.wav" stays in "./".
    const size_t name_start = NameStart(input);
    const size_t base_start = input.find_first_not_of('.', name_start);
    if (base_start == std::string::npos) Fail(MSG_NAME, 2);
    const size_t base_end = input.find('.', base_start);
    const std::string stem =
        input.substr(0, name_start) + input.substr(base_start, base_end - base_start);
    *left = OutputName(stem, 0, 2);
    *right = OutputName(stem, 1, 2);
}
