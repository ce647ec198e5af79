// For the destructor of an owner whose release can fail (a lock handed back, a file closed): the
// failure leaves the destructor, so that it is not lost, unless the owner is being destroyed by an
// exception unwinding the stack. A second exception would end the program then, so the release's
// failure is dropped and the first one goes on.
#pragma once

#include <exception>

namespace ZintarUtil {

class UnwindingAwareRelease {
public:
    // Runs `release`; what it throws is thrown on unless more exceptions are in flight than when
    // this object was made.
    template <typename Release>
    void Run(Release&& release) const
    {
        try {
            release();
        } catch (...) {
            if (std::uncaught_exceptions() == exceptionsAtConstruction)
                throw;
        }
    }

private:
    int exceptionsAtConstruction = std::uncaught_exceptions();
};

}  // namespace ZintarUtil
