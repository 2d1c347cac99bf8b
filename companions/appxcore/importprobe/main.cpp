// A small console program over the package module, built with the shipped binaries so that their
// import check covers the module: it must link in the XP-loadable tree and import nothing newer.
// "appxcore_probe -platform" names the package platform the module would use on this machine.
#include "companions/appxcore/manageappx.h"
#include "companions/appxcore/packagelist.h"

#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
    try {
        if (argc == 2 && lstrcmpiW(argv[1], L"-platform") == 0) {
            appxcore::ManageAppxSettings settings;
            settings.priorityPackages = appxcore::ServicePriorityPackages;
            appxcore::ManageAppx module(settings);
            wprintf(L"%ls\n", module.Platform().Description().c_str());
            return 0;
        }
        if (argc == 3 && lstrcmpiW(argv[1], L"-read") == 0) {
            for (const appxcore::PackageInfo& p : appxcore::ReadPackageList(argv[2]))
                wprintf(L"%ls\t%ls\t%ls\n", p.fullName.c_str(), p.version.c_str(), p.path.c_str());
            return 0;
        }
        wprintf(L"usage: appxcore_probe -platform | -read <package list file>\n");
        return 87;
    } catch (const appxcore::AppxError& e) {
        wprintf(L"%ls\n", e.message().c_str());
        return 1;
    }
}
