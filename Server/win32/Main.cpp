// The program's entry: run by the service control manager it runs the log service; run from a
// console with "-install" or "-remove" it installs or removes itself as a service.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "Server/win32/ServerService.h"
#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/TextHelpers.h"
#include "util/ZintarNames.h"

using ZintarServer::ServerService;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

// The one service object of the process, deleted at program exit.
ServerService* serviceObject = nullptr;

void DestroyServiceObject()
{
    if (serviceObject == nullptr)
        return;
    try {
        delete serviceObject;
        serviceObject = nullptr;
    } catch (const ExceptionBase& e) {
        ZintarUtil::WriteLog("Service destructor threw an exception : " + e.GetFullMessage("\n"));
    } catch (...) {
        ZintarUtil::WriteLog("Service destructor threw an unknown exception.");
    }
}

// The deletion is registered when the object is made, which is after the diagnostic log's name
// was set: functions registered with atexit run before the destructors of objects constructed
// before the registration, so the log can still be written when the service is destroyed.
bool CreateServiceObject()
{
    serviceObject = new ServerService();
    static const int registered = std::atexit(&DestroyServiceObject);
    (void)registered;
    const std::string path = ZintarUtil::ExecutablePath();
    if (path.empty())
        return false;
    serviceObject->SetServiceName(ZintarUtil::kServiceName);
    serviceObject->SetDisplayName(ZintarUtil::kServiceDisplayName);
    serviceObject->SetExecutablePath(path);
    ZintarUtil::Services::Service::SetActiveInstance(serviceObject);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    ZintarUtil::SetLogFile(ZintarUtil::kServiceLogName);
    try {
        if (!CreateServiceObject()) {
            std::cerr << "Error constructing service object" << std::endl;
            return 1;
        }
        if (argc < 2) {
            serviceObject->RunAsService();
            return 0;
        }
        std::string command = argv[1];
        if (!command.empty() && command[0] == '/')
            command[0] = '-';
        if (_stricmp(command.c_str(), "-install") == 0) {
            std::cout << "Installing service ..." << std::flush;
            const std::string refused = serviceObject->Install();
            std::cout << " installed" << std::endl;
            if (!refused.empty())
                std::cerr << refused << std::endl;
            return 0;
        }
        if (_stricmp(command.c_str(), "-remove") == 0) {
            std::cout << "Removing service ..." << std::flush;
            serviceObject->Remove();
            std::cout << " removed" << std::endl;
            return 0;
        }
        std::cout << "Unrecognized command line argument" << std::endl;
        std::cout << "Use -install or -remove" << std::endl;
        return 0;
    } catch (const ExceptionBase& e) {
        std::cerr << std::endl
                  << "An error has occured : " << std::endl
                  << e.GetFullMessage("\n") << std::endl
                  << std::endl;
        std::cout << "To install : use the -install switch and run as administrator" << std::endl;
        std::cout << "To remove : use the -remove switch and run as administrator" << std::endl;
        // Waits for the Enter key only where somebody can press it: a scripted run with its input
        // redirected never hangs here.
        DWORD mode = 0;
        if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode))
            std::getchar();
        return 1;
    }
}
