// Version comparison, the priority families, the 6.3 family map and package identity arithmetic.
#include "companions/appxcore/manageappx.h"

#include <gtest/gtest.h>

using namespace appxcore;

namespace {

TEST(CompareVersions, PartByPartAsNumbers) {
    EXPECT_EQ(-1, CompareVersions(L"1.2", L"1.2.0"));
    EXPECT_EQ(1, CompareVersions(L"1.2.0", L"1.2"));
    EXPECT_EQ(1, CompareVersions(L"10.0.1", L"9.9.9"));
    EXPECT_EQ(-1, CompareVersions(L"9.9.9", L"10.0.1"));
    EXPECT_EQ(0, CompareVersions(L"1.02.3.4", L"1.2.3.4"));
    EXPECT_EQ(1, CompareVersions(L"2.0.0.0", L"1.65535.65535.65535"));
    EXPECT_EQ(-1, CompareVersions(L"0.0.0.0", L"0.0.0.1"));
}

TEST(CompareVersions, NonNumberRaises) {
    EXPECT_THROW(CompareVersions(L"1.x", L"1.0"), AppxError);
    EXPECT_THROW(CompareVersions(L"1.0", L"1..0"), AppxError);
    EXPECT_THROW(CompareVersions(L"", L"1"), AppxError);
    EXPECT_THROW(CompareVersions(L"1.-2", L"1.2"), AppxError);
    EXPECT_THROW(CompareVersions(L" 1", L"1"), AppxError);
    // A bad part after the shared length is still an error, not "more parts, so larger".
    EXPECT_THROW(CompareVersions(L"1.2.x", L"1.2"), AppxError);
    // Huge parts must not wrap around and compare as small numbers.
    EXPECT_THROW(CompareVersions(L"99999999999999999999", L"1"), AppxError);
}

TEST(FamilyMap, OnlyOnWindows81AndIgnoringCase) {
    EXPECT_EQ(L"Microsoft.MoCamera_cw5n1h2txyewy",
              GetMappedFamilyName(L"microsoft.camera_8WEKYB3D8BBWE", 6, 3));
    EXPECT_EQ(L"Microsoft.Media.PlayReadyClient.2_8wekyb3d8bbwe",
              GetMappedFamilyName(L"Microsoft.Media.PlayReadyClient_8wekyb3d8bbwe", 6, 3));
    EXPECT_EQ(L"Microsoft.WinJS.2.0_8wekyb3d8bbwe",
              GetMappedFamilyName(L"Microsoft.WinJS.1.0_8wekyb3d8bbwe", 6, 3));
    EXPECT_EQ(L"FileManager_cw5n1h2txyewy",
              GetMappedFamilyName(L"microsoft.windowsphotos_8wekyb3d8bbwe", 6, 3));
    EXPECT_EQ(L"FileManager_cw5n1h2txyewy",
              GetMappedFamilyName(L"microsoft.microsoftskydrive_8wekyb3d8bbwe", 6, 3));
    EXPECT_EQ(L"", GetMappedFamilyName(L"Microsoft.Camera_8wekyb3d8bbwe", 6, 2));
    EXPECT_EQ(L"", GetMappedFamilyName(L"Microsoft.Camera_8wekyb3d8bbwe", 10, 0));
    EXPECT_EQ(L"", GetMappedFamilyName(L"Microsoft.Other_8wekyb3d8bbwe", 6, 3));
}

// The priority families decide what a priority run registers and what an update run leaves out: the
// service's four (Edge among them) and the updater's three (without Edge), matched by exact name.
TEST(PriorityFamilies, EachSideRegistersItsOwnFamiliesFirstAndLeavesThemOutOfAnUpdate) {
    const std::vector<std::wstring> families = {
        L"Contoso.Notes_1234567890abc",
        L"Microsoft.MicrosoftEdge_8wekyb3d8bbwe",
        L"windows.immersivecontrolpanel_cw5n1h2txyewy",
        L"Microsoft.Windows.Cortana_cw5n1h2txyewy",
        L"microsoft.windows.shellexperiencehost_cw5n1h2txyewy", // another case: not the family
        L"Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy",
        L"Microsoft.WindowsCalculator_8wekyb3d8bbwe",
    };
    std::vector<PackageInfo> list(families.size());
    for (size_t i = 0; i < families.size(); ++i)
        list[i].familyName = families[i];
    auto names = [](const std::vector<PackageInfo>& selected) {
        std::vector<std::wstring> out;
        for (const PackageInfo& p : selected)
            out.push_back(p.familyName);
        return out;
    };

    // The service: Settings, the shell, Edge and Cortana, in the list's order.
    EXPECT_EQ((std::vector<std::wstring>{families[1], families[2], families[3], families[5]}),
              names(SelectForRegistration(RegisterType::Priority, list, ServicePriorityPackages)));
    EXPECT_EQ((std::vector<std::wstring>{families[0], families[4], families[6]}),
              names(SelectForRegistration(RegisterType::Update, list, ServicePriorityPackages)));
    EXPECT_EQ(4, RegistrationCount(RegisterType::Priority, list.size(), ServicePriorityPackages));
    EXPECT_EQ(3, RegistrationCount(RegisterType::Update, list.size(), ServicePriorityPackages));

    // The updater: the same without Edge, which an update run then registers with the rest.
    EXPECT_EQ((std::vector<std::wstring>{families[2], families[3], families[5]}),
              names(SelectForRegistration(RegisterType::Priority, list, UpdaterPriorityPackages)));
    EXPECT_EQ((std::vector<std::wstring>{families[0], families[1], families[4], families[6]}),
              names(SelectForRegistration(RegisterType::Update, list, UpdaterPriorityPackages)));
    EXPECT_EQ(3, RegistrationCount(RegisterType::Priority, list.size(), UpdaterPriorityPackages));
    EXPECT_EQ(4, RegistrationCount(RegisterType::Update, list.size(), UpdaterPriorityPackages));
}

// Names other programs and earlier versions rely on: the failure list beside the package list, and
// the key under which a tile restoration waits for the next logon.
TEST(SharedNames, FailureListAndPendingTileKey) {
    EXPECT_EQ(L"Migrate-AppxPackage-Fail", std::wstring(FailureListName));
    EXPECT_EQ(L"SOFTWARE\\Quillmar\\Edb", ManageAppxSettings().pendingTileKey);
}

TEST(Identity, PublisherIdAsWindowsComputesIt) {
    EXPECT_EQ(L"8wekyb3d8bbwe",
              ComputePublisherId(
                  L"CN=Microsoft Corporation, O=Microsoft Corporation, L=Redmond, S=Washington, C=US"));
    EXPECT_EQ(
        L"cw5n1h2txyewy",
        ComputePublisherId(L"CN=Microsoft Windows, O=Microsoft Corporation, L=Redmond, S=Washington, C=US"));
    EXPECT_EQ(L"h91ms92gdsmmt", ComputePublisherId(L"CN=Contoso"));
}

TEST(Identity, FullAndFamilyNames) {
    PackageIdentity id;
    id.name = L"Microsoft.VCLibs.140.00";
    id.architecture = L"X64";
    id.version[0] = 14;
    id.version[1] = 0;
    id.version[2] = 30704;
    id.version[3] = 0;
    id.publisherId = L"8wekyb3d8bbwe";
    EXPECT_EQ(L"Microsoft.VCLibs.140.00_14.0.30704.0_x64__8wekyb3d8bbwe", ComputeFullName(id));
    id.resourceId = L"split.scale-100";
    EXPECT_EQ(L"Microsoft.VCLibs.140.00_14.0.30704.0_x64_split.scale-100_8wekyb3d8bbwe", ComputeFullName(id));
    EXPECT_EQ(L"Microsoft.VCLibs.140.00_8wekyb3d8bbwe", ComputeFamilyName(id.name, id.publisherId));
    EXPECT_EQ(L"Neutral", ArchitectureNameFromManifest(L""));
    EXPECT_EQ(L"X86OnArm64", ArchitectureNameFromManifest(L"x86a64"));
    EXPECT_EQ(L"", ArchitectureNameFromManifest(L"mips"));
}

TEST(Identity, ManifestPathAsFileUri) {
    EXPECT_EQ(L"file:///C:/Program%20Files/WindowsApps/A_1.0.0.0_x64__abc/AppxManifest.xml",
              ManifestPathToFileUri(L"C:\\Program Files\\WindowsApps\\A_1.0.0.0_x64__abc\\AppxManifest.xml"));
    EXPECT_EQ(L"file:///C:/a%23b/%25c/AppxManifest.xml",
              ManifestPathToFileUri(L"C:\\a#b\\%c\\AppxManifest.xml"));
}

TEST(Registration, CountAndSelectionByMode) {
    std::vector<PackageInfo> list(3);
    list[0].familyName = L"Other.App_abc";
    list[1].familyName = L"Microsoft.Windows.Cortana_cw5n1h2txyewy";
    list[2].familyName =
        L"microsoft.windows.cortana_cw5n1h2txyewy"; // exact comparison: not a priority family
    // Update counts the list size minus the priority rows even when fewer are present.
    EXPECT_EQ(-1, RegistrationCount(RegisterType::Update, list.size(), ServicePriorityPackages));
    EXPECT_EQ(4, RegistrationCount(RegisterType::Priority, list.size(), ServicePriorityPackages));
    EXPECT_EQ(3, RegistrationCount(RegisterType::Force, list.size(), ServicePriorityPackages));
    auto priority = SelectForRegistration(RegisterType::Priority, list, UpdaterPriorityPackages);
    ASSERT_EQ(1u, priority.size());
    EXPECT_EQ(list[1].familyName, priority[0].familyName);
    auto update = SelectForRegistration(RegisterType::Update, list, UpdaterPriorityPackages);
    ASSERT_EQ(2u, update.size());
    EXPECT_EQ(list[0].familyName, update[0].familyName);
    EXPECT_EQ(list[2].familyName, update[1].familyName);
    EXPECT_EQ(3u, SelectForRegistration(RegisterType::Force, list, UpdaterPriorityPackages).size());
}

} // namespace
