// The package list files: what the module writes reads back field for field; what either companion
// may meet (no declaration, no indentation, UTF-16) reads; damaged files read as absent.
#include "companions/appxcore/packagelist.h"

#include "harness/testlib.h"

#include <gtest/gtest.h>

using namespace appxcore;
using namespace corvane_test;

namespace {

const std::wstring Scratch = L"C:\\corvane-scratch\\appxcore-listfile";

class ListFile : public ::testing::Test {
  protected:
    void SetUp() override { MakeDirs(Scratch); }
    void TearDown() override { DeleteTestTree(Scratch); }
};

PackageInfo Sample(int n) {
    PackageInfo p;
    p.name = L"Contoso.App" + std::to_wstring(n) + (n == 2 ? L" & <x> \"q\" 'a'" : L"");
    p.publisher = L"CN=Fabrikam & \"Sons\" <Ltd>, O='Q'";
    p.architecture = L"X64";
    p.resourceId = n % 2 ? L"" : L"split.scale-100";
    p.version = L"1.2." + std::to_wstring(n) + L".0";
    p.fullName = p.name + L"_1.2.0.0_x64__9jbacmtm7wgq6";
    p.path = L"C:\\Program Files\\Apps & <More>\\\"quoted\"\\caf\u00e9 \u6f22\u5b57";
    p.isFramework = n == 2;
    p.familyName = p.name + L"_9jbacmtm7wgq6";
    p.publisherId = L"9jbacmtm7wgq6";
    p.dependencies = n == 3 ? -7 : n;
    p.installedfailed = n == 1;
    return p;
}

TEST_F(ListFile, WrittenListReadsBackFieldForField) {
    std::vector<PackageInfo> list = {Sample(1), Sample(2), Sample(3), PackageInfo()};
    std::wstring path = Scratch + L"\\Migrate-AppxPackage";
    try {
        WritePackageList(path, list);
    } catch (const AppxError& e) {
        FAIL() << Narrow(e.message());
    }
    std::vector<PackageInfo> back;
    try {
        back = ReadPackageList(path);
    } catch (const AppxError& e) {
        FAIL() << Narrow(e.message()) << "\n" << ReadFileBytes(path);
    }
    ASSERT_EQ(list.size(), back.size());
    for (size_t i = 0; i < list.size(); ++i)
        EXPECT_TRUE(list[i] == back[i]) << "record " << i;
    EXPECT_FALSE(FileExists(path + L".new"));

    // Element names, order and value spellings as the other companion expects them.
    std::string text = ReadFileBytes(path);
    size_t root = text.find("<ArrayOfPackageInfo");
    ASSERT_NE(std::string::npos, root);
    const char* fields[] = {"<name>",       "<publisher>",   "<architecture>", "<resourceId",
                            "<version>",    "<fullName>",    "<path>",         "<isFramework>",
                            "<familyName>", "<publisherId>", "<dependencies>", "<installedfailed>"};
    size_t at = root;
    for (const char* f : fields) {
        size_t next = text.find(f, at);
        ASSERT_NE(std::string::npos, next) << f;
        at = next;
    }
    EXPECT_NE(std::string::npos, text.find("<isFramework>false</isFramework>"));
    EXPECT_NE(std::string::npos, text.find("<installedfailed>true</installedfailed>"));
    EXPECT_NE(std::string::npos, text.find("<dependencies>-7</dependencies>"));
    EXPECT_NE(std::string::npos, text.find("&amp;"));
    EXPECT_NE(std::string::npos, text.find("&lt;"));
}

TEST_F(ListFile, EmptyRootReadsAsEmptyList) {
    EXPECT_TRUE(ParsePackageList("<ArrayOfPackageInfo />").empty());
    EXPECT_TRUE(
        ParsePackageList("<?xml version=\"1.0\"?>\r\n<ArrayOfPackageInfo></ArrayOfPackageInfo>\r\n").empty());
}

TEST_F(ListFile, EmptyListAndReplacedFile) {
    std::wstring path = Scratch + L"\\list";
    WritePackageList(path, {Sample(1), Sample(2)});
    WritePackageList(path, {});
    EXPECT_TRUE(ReadPackageList(path).empty());
}

// A temporary list left behind as a second name of another file (a user can make one in their own
// folder) is removed by name, never written into; the other file keeps its bytes.
TEST_F(ListFile, LeftoverTemporaryWithASecondNameIsNotWrittenThrough) {
    std::wstring path = Scratch + L"\\list";
    std::wstring other = Scratch + L"\\other.txt";
    WriteFileBytes(other, "another file");
    ASSERT_TRUE(CreateHardLinkW((path + L".new").c_str(), other.c_str(), nullptr)) << GetLastError();
    WritePackageList(path, {Sample(1)});
    EXPECT_EQ(1u, ReadPackageList(path).size());
    EXPECT_EQ("another file", ReadFileBytes(other));
    EXPECT_FALSE(FileExists(path + L".new"));
}

TEST_F(ListFile, ReadsWithoutDeclarationOrIndentationAndInUtf16) {
    std::string compact =
        "<ArrayOfPackageInfo xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><PackageInfo><name>A&amp;B</name>"
        "<resourceId "
        "/><version>1.0.0.0</version><path><![CDATA[C:\\x<y>]]></path><isFramework>true</isFramework>"
        "<dependencies>2</dependencies><futureField>x</futureField></PackageInfo></ArrayOfPackageInfo>";
    std::vector<PackageInfo> list = ParsePackageList(compact);
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ(L"A&B", list[0].name);
    EXPECT_EQ(L"", list[0].resourceId);
    EXPECT_EQ(L"C:\\x<y>", list[0].path);
    EXPECT_TRUE(list[0].isFramework);
    EXPECT_EQ(2, list[0].dependencies);
    EXPECT_FALSE(list[0].installedfailed);

    // UTF-16 with a byte order mark and a declaration naming it, as .NET writers produce.
    std::wstring wide =
        L"\xFEFF<?xml version=\"1.0\" encoding=\"utf-16\"?>\r\n<ArrayOfPackageInfo>\r\n  <PackageInfo>\r\n"
        L"    <name>caf\u00e9</name>\r\n    <installedfailed>true</installedfailed>\r\n  </PackageInfo>\r\n"
        L"</ArrayOfPackageInfo>";
    std::string bytes(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
    WriteFileBytes(Scratch + L"\\utf16", bytes);
    list = ReadPackageList(Scratch + L"\\utf16");
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ(L"caf\u00e9", list[0].name);
    EXPECT_TRUE(list[0].installedfailed);
}

TEST_F(ListFile, DamagedFilesReadAsAbsent) {
    std::wstring path = Scratch + L"\\list";
    WritePackageList(path, {Sample(1), Sample(2)});
    std::string good = ReadFileBytes(path);
    std::vector<PackageInfo> list = {Sample(3)};

    const std::string damaged[] = {
        good.substr(0, good.size() / 2),                     // truncated mid-record
        good.substr(0, good.rfind("</ArrayOfPackageInfo>")), // root never closed
        std::string("\x00\x13garbage\xff\xfe\x01", 11),
        "",
        "<ArrayOfPackageInfo><PackageInfo><isFramework>maybe</isFramework></PackageInfo></"
        "ArrayOfPackageInfo>",
        "<ArrayOfPackageInfo><PackageInfo><dependencies>99999999999</dependencies></PackageInfo></"
        "ArrayOfPackageInfo>",
        "<SomethingElse />",
        // Cut after a complete line that ends in an empty element: Wine's reader supplies the
        // missing end tags and reports a clean end.
        "<ArrayOfPackageInfo>\r\n  <PackageInfo>\r\n    <resourceId />\r\n",
        "<ArrayOfPackageInfo>\r\n  <PackageInfo>\r\n    <name>a</name>\r\n  </PackageInfo>\r\n",
        "<!DOCTYPE a [<!ENTITY x \"y\">]><ArrayOfPackageInfo>&x;</ArrayOfPackageInfo>",
    };
    std::vector<std::string> cases(std::begin(damaged), std::end(damaged));
    // Cut at every tenth byte: no cut may hang or crash the reader, and none reads as a list.
    for (size_t n = 1; n < good.size() - 25; n += 10)
        cases.push_back(good.substr(0, n));
    for (const std::string& bytes : cases) {
        WriteFileBytes(path, bytes);
        EXPECT_FALSE(TryReadPackageList(path, &list)) << bytes.size() << " bytes";
        EXPECT_TRUE(list.empty());
        EXPECT_THROW(ReadPackageList(path), AppxError);
    }
    EXPECT_FALSE(TryReadPackageList(Scratch + L"\\missing", &list));
    try {
        ReadPackageList(Scratch + L"\\missing");
        ADD_FAILURE() << "a missing list must raise";
    } catch (const AppxError& e) {
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), e.code());
    }
}

} // namespace
