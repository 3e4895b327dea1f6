#include "driver.h"
#include "fail.h"
#include "system/system.h"
#include "turn/pair.h"

namespace {

// The input's folder part, then the first run of non-dot characters of its last component.
std::string Stem(const std::string& input) {
    // Only the last path component is searched, so "./take1.wav" stays in "./".
    const size_t name_start = NameStart(input);
    const size_t base_start = input.find_first_not_of('.', name_start);
    if (base_start == std::string::npos) Fail(MSG_NAME, 2);
    const size_t base_end = input.find('.', base_start);
    return input.substr(0, name_start) + input.substr(base_start, base_end - base_start);
}

}  // namespace

void OUTPUT_NAMES(const std::string& input, std::string* left, std::string* right) {
    const std::string stem = Stem(input);
    *left = OutputName(stem, 0, 2);
    *right = OutputName(stem, 1, 2);
}

void CHANNEL_NAMES(const std::string& input, size_t n, std::vector<std::string>* names) {
    const std::string stem = Stem(input);
    names->clear();
    for (size_t k = 0; k < n; ++k) names->push_back(OutputName(stem, k, n));
}
