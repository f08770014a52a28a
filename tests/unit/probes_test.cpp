// Target paths and the Windows XP test, against folders and version records
// that real machines cannot be made to give.
#include <gtest/gtest.h>

#include "app/main_window.h"
#include "unit/fake_platform.h"
#include "unit/parts.h"

namespace tolvane::testing {
namespace {

TEST(FolderPrefix, CountOfTheFolderLengthCutsTheBufferRightAfterTheFolder) {
    FakePlatform fake;
    Machine form(fake);
    EXPECT_EQ(form.getPathFlash(), L"C:\\WINDOWS\\system32\\Macromed\\Flash\\flash.ocx");
    EXPECT_EQ(fake.calls, (std::vector<std::wstring>{L"GetSystemDirectoryA 255"}));
}

TEST(FolderPrefix, FolderLongerThanTheBufferIsAskedForAgainAndUsedWhole) {
    FakePlatform fake;
    fake.systemFolder = "C:\\" + std::string(300, 'w');
    Machine form(fake);
    EXPECT_EQ(form.getPathFlash(), L"C:\\" + std::wstring(300, L'w') + L"\\Macromed\\Flash\\flash.ocx");
    EXPECT_EQ(fake.calls, (std::vector<std::wstring>{L"GetSystemDirectoryA 255", L"GetSystemDirectoryA 304"}));
}

TEST(FolderPrefix, CountOfZeroIsAFailureNotAPathAtTheDriveRoot) {
    FakePlatform fake;
    fake.overrideFolderCount = true;
    fake.folderCount = 0;
    fake.lastError = ERROR_INVALID_PARAMETER;
    Machine form(fake);
    try {
        form.getPathFlash();
        FAIL() << "a count of 0 gave a path";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(failure.description(),
                  L"asking Windows for the system folder failed: " + systemMessage(ERROR_INVALID_PARAMETER));
    }
}

struct VersionCase {
    const char* name;
    DWORD platformId, major, minor;
    std::string servicePack;
    bool windowsXP;
};

void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }

class WindowsXPTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(WindowsXPTest, DecidesFromPlatformVersionAndServicePackText) {
    const VersionCase& c = GetParam();
    FakePlatform fake;
    fake.setVersion(c.platformId, c.major, c.minor, c.servicePack);
    Machine form(fake);

    EXPECT_EQ(form.isWindowsXP(), c.windowsXP);
    EXPECT_EQ(fake.callsTo(L"GetVersionExA"), (std::vector<std::wstring>{L"GetVersionExA 148"}));
    fake.calls.clear();
    EXPECT_EQ(form.getPathInf(), c.windowsXP ? L"C:\\WINDOWS\\ServicePackFiles\\i386\\swflash.inf" : L"");
}

INSTANTIATE_TEST_SUITE_P(
    Records, WindowsXPTest,
    ::testing::Values(VersionCase{"XpServicePack3", 2, 5, 1, "Service Pack 3", true},
                      VersionCase{"XpNoServicePack", 2, 5, 1, "", true},
                      VersionCase{"Windows2000", 2, 5, 0, "Service Pack 4", false},
                      VersionCase{"Vista", 2, 6, 0, "Service Pack 2", false},
                      VersionCase{"Windows9xFamily", 1, 5, 1, "Service Pack 3", false},
                      // A field of spaces with one other character, no NUL: only that one character is left.
                      VersionCase{"SpacesAndOneCharacter", 2, 5, 1, std::string(60, ' ') + "3" + std::string(67, ' '),
                                  false},
                      VersionCase{"SpacesAndTwoCharacters", 2, 5, 1, std::string(60, ' ') + "3a" + std::string(66, ' '),
                                  true},
                      // Spaces then NULs: the NULs count as text, so this passes.
                      VersionCase{"SpacesThenNuls", 2, 5, 1, std::string(20, ' '), true}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return std::string(info.param.name); });

TEST(WindowsXP, AQueryThatFailsIsNoAnswer) {
    struct EmptyVersion : FakePlatform {
        BOOL GetVersionExA(OSVERSIONINFOA*) override { return FALSE; }
    } fake;
    Machine form(fake);
    EXPECT_THROW(form.isWindowsXP(), Failure);
    EXPECT_THROW(form.isVistaOrLater(), Failure);
}

}  // namespace
}  // namespace tolvane::testing
