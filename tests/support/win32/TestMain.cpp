#include "tests/support/win32/ChildProcess.h"

int main(int argc, char** argv)
{
    return ZintarTest::RunTestsOrChild(argc, argv);
}
