// The repair: unregister, back up, run the medium's installer and wait, copy
// the medium's control, register it; and, once the menu has started, tidy
// up. Its record and put-back are the journal's.
#pragma once

#include <string>
#include <vector>

#include "maintenance/journal.h"

namespace tolvane {

// How long the installer is given to be under way before the run does what
// it can do meanwhile (see RunContext::meanwhile).
inline constexpr DWORD installerUnderWayMs = 2000;

class Repair {
public:
    Repair(RunContext& run, Machine& machine, Registration& registration, MediumCheck& medium, Journal& journal)
        : run_(run), platform_(run.platform), machine_(machine), registration_(registration), medium_(medium),
          journal_(journal) {}

    // From the medium's check to the registration and the mark, with the
    // machine's lock held and an earlier run's record dealt with. A failure
    // after the unregistration, up to and including the registration, first
    // puts the installed control back in place and registers it again.
    void run(SessionEndListener& listener);
    // What a repair that went through leaves to tidy (what it replaced, the
    // installer's folder, the record): after the menu has started.
    void tidyUp() noexcept;

    void renameFlashOCX();
    void renameFlashInf();
    void executeFlashSetup();
    void copyFlashOCX();

private:
    // From whatever volume: the installer copied to a new folder only
    // administrators may write, under a name nobody can guess, checked in
    // the same pass against the record and held; it runs from there.
    void prepareInstaller();
    void runTaskAndWait(std::wstring path, int windowStyle);
    // Waits for a process of the installer's within the installer's time
    // limit; when that has run out, ends the installer's processes and raises.
    void waitForInstaller(HANDLE process);
    // After the installer has ended: waits for what it handed over to.
    void waitForHandOver();
    // Where a setup the installer hands over to runs from: the user's and
    // Windows' temporary folders, and the medium's data folder.
    std::vector<std::wstring> handOverFolders();
    // The mark of what the repair put in place written (see InstalledMark).
    void markInstalled();
    // While the installer runs: the medium's control copied beside the
    // control under a name of its own, and checked (see copyFlashOCX). A
    // copy that fails is taken away; copyFlashOCX then copies afresh.
    void prepareControlCopy() noexcept;
    // The medium's control copied beside the control under a name of its
    // own, and checked: that name, with its SHA-256 in `sha256`.
    std::wstring copyMediumControl(std::wstring& sha256);
    // The copy's bytes, read now, are still those it was written with.
    bool stillAsCopied(const std::wstring& copy, const std::wstring& sha256) noexcept;
    void makeWay(const std::wstring& backup, const std::wstring& newer, bool kept);

    RunContext& run_;
    Platform& platform_;
    Machine& machine_;
    Registration& registration_;
    MediumCheck& medium_;
    Journal& journal_;
    // The installer the run starts, or why it cannot be (its copy failed).
    std::wstring installer_;
    std::wstring installerFailure_;
    DWORD installerStartedAt_ = 0;  // GetTickCount when it started
    DWORD installerExitCode_ = 0;   // the installer's own, kept in the mark
    // The medium's control, copied and checked while the installer ran.
    std::wstring preparedCopy_;
    std::wstring preparedSha256_;
};

}  // namespace tolvane
