// The medium's files against the record that the publisher's tool wrote
// into the program: what it found, for the steps that copy and start them.
#pragma once

#include <string>
#include <vector>

#include "maintenance/run_context.h"
#include "probes/machine.h"

namespace tolvane {

// The refusal of a medium's file at `path` that is not as it was made:
// `what` is " is missing (", " could not be read (" or " was changed after
// the medium was made (", then `why`.
Failure refusedMediumFile(const std::wstring& path, const std::wstring& why,
                          const wchar_t* what = L" was changed after the medium was made (");

class MediumCheck {
public:
    MediumCheck(RunContext& run, Machine& machine) : run_(run), platform_(run.platform), machine_(machine) {}

    // Before the repair changes anything: every file of the medium is the
    // one the publisher's tool recorded in the program, and held so until
    // the program ends. Raises, naming the file, when one is not.
    void checkMedium();
    // Just before the menu runs with administrator rights: the data folder
    // holds nothing the record does not (a DLL dropped there since the
    // check would load into the menu). Raises, naming the file, when it does.
    void checkNothingAdded();

    // The SHA-256 of the medium's control (from the record, else read from
    // the medium) and the size and SHA-256 of its installer (from the record).
    std::wstring controlSha256;
    FileDigest installer{0, std::wstring()};
    // The installer's own switches for a run nobody watches.
    std::wstring installerQuietArgs;
    // The files were checked against the record and are held; or why they
    // are not what it says (for the menu's start).
    bool checked = false;
    std::wstring menuRefused;

private:
    // The first entry of the data folder `data` that the record does not name.
    std::wstring unrecorded(const std::wstring& data);
    // The names the record holds in the data folder, once checked.
    std::vector<std::wstring> recorded_;
    RunContext& run_;
    Platform& platform_;
    Machine& machine_;
};

}  // namespace tolvane
