// The Client Side Rendering cache keys under HKEY_LOCAL_MACHINE that the printer tests make, and
// the mounted hive's printer connections that name them.
#pragma once

#include "harness/testlib.h"
#include "printers/mounted_hive.h"

#include <shlwapi.h>

#include <string>
#include <vector>

namespace corvane_test {

const wchar_t* const ProviderKey =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Providers\\Client Side Rendering Print "
    L"Provider";

// Path of a printer's cache key below HKEY_LOCAL_MACHINE.
inline std::wstring CacheKey(const std::wstring& server, const std::wstring& printer) {
    return std::wstring(ProviderKey) + L"\\Servers\\" + server + L"\\Printers\\" + printer;
}

// Makes cache keys for servers whose names the test chooses, and removes those servers' keys (and
// the provider key, if the test made it) again.
class PrinterCache {
  public:
    PrinterCache() : providerExisted_(KeyExists(HKEY_LOCAL_MACHINE, ProviderKey)) {}
    ~PrinterCache() {
        for (const auto& server : servers_)
            SHDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(ProviderKey) + L"\\Servers\\" + server).c_str());
        if (!providerExisted_) SHDeleteKeyW(HKEY_LOCAL_MACHINE, ProviderKey);
    }
    // A printer key with a value and a subkey of its own, so its whole deletion shows.
    void Add(const std::wstring& server, const std::wstring& printer) {
        servers_.push_back(server);
        HiveContent content;
        content[CacheKey(server, printer)][L"Name"] = Sz(L"cached printer");
        content[CacheKey(server, printer) + L"\\PrinterDriverData"][L"Model"] = Dword(7);
        WriteKeys(HKEY_LOCAL_MACHINE, content);
    }
    bool Has(const std::wstring& server, const std::wstring& printer) const {
        return KeyExists(HKEY_LOCAL_MACHINE, CacheKey(server, printer));
    }

  private:
    bool providerExisted_;
    std::vector<std::wstring> servers_;
};

// One connection of the hive: its key name and values as the hive holds them.
inline void AddConnection(HiveContent* content, const std::wstring& name, const RegValue* guid,
                          const RegValue* server) {
    auto& values = (*content)[L"Printers\\Connections\\" + name];
    values[L"Provider"] = Sz(L"win32spl.dll");
    if (guid) values[L"GuidPrinter"] = *guid;
    if (server) values[L"Server"] = *server;
}

} // namespace corvane_test
