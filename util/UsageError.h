// A command line that cannot be carried out; the text says why, for the user. The tools print it
// and exit with their usage status.
#pragma once

#include <stdexcept>

namespace ZintarUtil {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace ZintarUtil
