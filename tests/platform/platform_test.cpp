// The real platform layer, on what the steps rely on.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/win32_platform.h"

namespace tolvane {
namespace {

// A fresh folder under the temporary folder, removed with what it holds.
class ScratchFolder {
public:
    ScratchFolder() {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"tolvane-platform-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter_++);
        ::CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~ScratchFolder() { removeTree(path_); }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

    static void write(const std::wstring& path, const std::string& content) {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        ::CloseHandle(file);
    }
    static std::string read(const std::wstring& path) {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return "<missing>";
        char buffer[4096];
        DWORD got = 0;
        ::ReadFile(file, buffer, sizeof buffer, &got, nullptr);
        ::CloseHandle(file);
        return std::string(buffer, got);
    }

private:
    static void removeTree(const std::wstring& folder) {
        WIN32_FIND_DATAW entry;
        HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..") continue;
                std::wstring path = folder + L"\\" + name;
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    removeTree(path);
                else
                    ::DeleteFileW(path.c_str());
            } while (::FindNextFileW(search, &entry));
            ::FindClose(search);
        }
        ::RemoveDirectoryW(folder.c_str());
    }
    static inline int counter_ = 0;
    std::wstring path_;
};

class RealPlatform : public ::testing::Test {
protected:
    Win32Platform platform{::GetModuleHandleW(nullptr)};
    ScratchFolder scratch;
};

TEST_F(RealPlatform, FileExistsCountsOnlyNormalFiles) {
    ScratchFolder::write(scratch / L"plain.ocx", "x");
    ScratchFolder::write(scratch / L"hidden.ocx", "x");
    ScratchFolder::write(scratch / L"system.ocx", "x");
    ::SetFileAttributesW((scratch / L"hidden.ocx").c_str(), FILE_ATTRIBUTE_HIDDEN);
    ::SetFileAttributesW((scratch / L"system.ocx").c_str(), FILE_ATTRIBUTE_SYSTEM);
    ::CreateDirectoryW((scratch / L"folder.ocx").c_str(), nullptr);
    ScratchFolder::write(scratch / L"readonly.ocx", "x");
    ::SetFileAttributesW((scratch / L"readonly.ocx").c_str(), FILE_ATTRIBUTE_READONLY);

    EXPECT_TRUE(platform.fileExists(scratch / L"plain.ocx"));
    EXPECT_TRUE(platform.fileExists(scratch / L"readonly.ocx"));
    EXPECT_FALSE(platform.fileExists(scratch / L"hidden.ocx"));
    EXPECT_FALSE(platform.fileExists(scratch / L"system.ocx"));
    EXPECT_FALSE(platform.fileExists(scratch / L"folder.ocx"));
    EXPECT_FALSE(platform.fileExists(scratch / L"missing.ocx"));
    EXPECT_FALSE(platform.fileExists(scratch / L"nowhere\\missing.ocx"));
}

TEST_F(RealPlatform, RenameMovesTheFileButNeverOverAnExistingOne) {
    ScratchFolder::write(scratch / L"flash.ocx", "control");
    platform.renameFile(scratch / L"flash.ocx", scratch / L"flash.bkp");
    EXPECT_EQ(ScratchFolder::read(scratch / L"flash.bkp"), "control");
    EXPECT_FALSE(platform.fileExists(scratch / L"flash.ocx"));

    ScratchFolder::write(scratch / L"flash.ocx", "new control");
    try {
        platform.renameFile(scratch / L"flash.ocx", scratch / L"flash.bkp");
        FAIL() << "renaming over an existing file succeeded";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), static_cast<std::uint32_t>(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(failure.description().rfind(L"renaming \"" + (scratch / L"flash.ocx") + L"\" to \"", 0), 0u)
            << std::string(failure.description().begin(), failure.description().end());
    }
    EXPECT_EQ(ScratchFolder::read(scratch / L"flash.bkp"), "control");
    EXPECT_EQ(ScratchFolder::read(scratch / L"flash.ocx"), "new control");
}

TEST_F(RealPlatform, CopyReplacesTheDestinationAndFailsOnAMissingSource) {
    ScratchFolder::write(scratch / L"medium.ocx", "medium control");
    ScratchFolder::write(scratch / L"flash.ocx", "installer's control, longer than the medium's");
    platform.copyFile(scratch / L"medium.ocx", scratch / L"flash.ocx");
    EXPECT_EQ(ScratchFolder::read(scratch / L"flash.ocx"), "medium control");

    try {
        platform.copyFile(scratch / L"gone.ocx", scratch / L"flash.ocx");
        FAIL() << "copying a missing file succeeded";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
        std::wstring expected = L"copying \"" + (scratch / L"gone.ocx") + L"\" to \"" + (scratch / L"flash.ocx") +
                                L"\" failed: " + systemMessage(ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(failure.description(), expected);
    }
    EXPECT_EQ(ScratchFolder::read(scratch / L"flash.ocx"), "medium control");
}

TEST_F(RealPlatform, DeleteRemovesAFileAndFailsOnAMissingOne) {
    ScratchFolder::write(scratch / L"flash.bkp", "old");
    platform.deleteFile(scratch / L"flash.bkp");
    EXPECT_FALSE(platform.fileExists(scratch / L"flash.bkp"));
    EXPECT_THROW(platform.deleteFile(scratch / L"flash.bkp"), Failure);
}

TEST_F(RealPlatform, LaunchReturnsAnIdentifierThatCanBeWaitedOn) {
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    std::wstring cmd = std::wstring(system) + L"\\cmd.exe";
    std::uint32_t id = platform.launchProgram(L"cmd.exe /c exit 3", minimizedFocus, cmd);
    ASSERT_NE(id, 0u);

    HANDLE process = platform.OpenProcess(0x00100000, FALSE, id);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(platform.WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
    platform.CloseHandle(process);
}

TEST_F(RealPlatform, LaunchRaisesWhenNothingCanBeStarted) {
    std::wstring missing = scratch / L"data\\menu.exe";
    try {
        platform.launchProgram(quotedPath(missing), normalFocus, missing);
        FAIL() << "starting a missing program succeeded";
    } catch (const Failure& failure) {
        EXPECT_NE(failure.number(), 0u);
        EXPECT_EQ(failure.description().rfind(L"starting \"" + missing + L"\" failed: ", 0), 0u);
        EXPECT_GT(failure.description().size(), (L"starting \"" + missing + L"\" failed: ").size());
    }
    EXPECT_THROW(platform.launchProgram(L"tolvane-no-such-program-here.exe", normalFocus), Failure);
}

TEST_F(RealPlatform, ProgramFolderIsTheExecutablesFolderWithoutTrailingBackslash) {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring expected(self);
    expected.erase(expected.find_last_of(L'\\'));

    std::wstring folder = platform.programFolder();
    EXPECT_EQ(folder, expected);
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), L'\\');
}

TEST_F(RealPlatform, WaitWithTimeLimitReturnsOnTimeout) {
    HANDLE never = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD start = ::GetTickCount();
    EXPECT_EQ(platform.WaitForSingleObject(never, 200), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(::GetTickCount() - start, 150u);
    ::CloseHandle(never);
}

}  // namespace
}  // namespace tolvane
