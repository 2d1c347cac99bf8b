// The package list files ("Migrate-AppxPackage", "Migrate-AppxPackage-Fail"): XML with a root
// ArrayOfPackageInfo and one PackageInfo element per record, one child element per field.
#pragma once

#include "companions/appxcore/packageinfo.h"

#include <string>
#include <vector>

namespace appxcore {

// Largest list file the module reads; a user can write the file, so its size is bounded.
const DWORD MaxPackageListBytes = 16 * 1024 * 1024;

// Reads a list file. Raises AppxError when it is missing (the Win32 code as an HRESULT), cannot be
// read, or is not a well-formed package list (E_FAIL-class codes with a message naming the fault).
std::vector<PackageInfo> ReadPackageList(const std::wstring& path);
// As ReadPackageList, but a missing, unreadable or damaged file reads as absent: false, list empty.
bool TryReadPackageList(const std::wstring& path, std::vector<PackageInfo>* list);

// The XML text of a list, UTF-8 with a declaration and indentation.
std::string FormatPackageList(const std::vector<PackageInfo>& list);
// Parses list XML in any encoding XmlLite detects, with or without a declaration. Raises AppxError.
std::vector<PackageInfo> ParsePackageList(const std::string& bytes);

// Writes the list, replacing an old file whole (never half-written). The folder must exist. Raises
// AppxError.
void WritePackageList(const std::wstring& path, const std::vector<PackageInfo>& list);

} // namespace appxcore
