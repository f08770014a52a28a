#include "maintenance/instance_channel.h"

#include <cstring>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace tolvane {

namespace {

constexpr std::size_t keySize = sizeof(unsigned long long);

}  // namespace

InstanceChannel::InstanceChannel(Platform& platform, const ProgramOptions& options)
    : platform_(platform), peer_(options.repairOnly ? options.firstInstance : 0),
      key_(options.repairOnly ? options.channelKey : 0) {
    platform_.listenForData(*this);
}

std::wstring InstanceChannel::newKey() {
    const std::wstring key = platform_.randomHex();
    if (!hexNumber(key, key_)) key_ = 0;
    return joined({std::wstring(repairSwitch), L" ", decimal(platform_.processId()), L" /channel ", key});
}

// Only what carries this run's key is taken; a second start's word is
// written down as such.
void InstanceChannel::heard(ULONG_PTR kind, const void* data, std::size_t size) noexcept {
    if (kind == anotherStartKind) {
        if (peer_ == 0) say(anotherStartLine);  // the elevated instance's log is the first one's
        return;
    }
    if (key_ == 0 || peer_ != 0 || data == nullptr || size < keySize || std::memcmp(data, &key_, keySize) != 0 ||
        (kind == outcomeKind && size != keySize + sizeof outcome_) ||
        (kind != outcomeKind && kind != installerRunsKind && kind != linesKind)) {
        if (!refusedSaid_) say(widened("A message from another program to this run's window was refused (any more are, unsaid)"));
        refusedSaid_ = true;
        return;
    }
    const char* body = static_cast<const char*>(data) + keySize;
    if (kind == installerRunsKind) installerRuns_ = true;
    if (kind == outcomeKind) std::memcpy(&outcome_, body, sizeof outcome_), outcomeHanded_ = true;
    if (kind == linesKind && log_ != nullptr) {
        try {
            log_->addHanded(std::wstring(reinterpret_cast<const wchar_t*>(body), (size - keySize) / sizeof(wchar_t)));
        } catch (...) {  // out of memory: the lines are lost, the run is not
        }
    }
}

bool InstanceChannel::waitForRepair(HANDLE process, DWORD& exitCode, bool& handedBack, WhileRepairRuns* meanwhile) {
    outcomeHanded_ = handedBack = installerRuns_ = false;
    for (;;) {
        const DWORD result = platform_.waitForProcessOrMessages(process);
        if (result == WAIT_OBJECT_0) return platform_.GetExitCodeProcess(process, &exitCode) != FALSE;
        if (result != WAIT_OBJECT_0 + 1) return false;
        if (outcomeHanded_) return exitCode = outcome_, handedBack = true;
        if (installerRuns_ && meanwhile != nullptr) std::exchange(meanwhile, nullptr)->whileRepairRuns();
    }
}

// Only to the main window of the process named on the command line.
bool InstanceChannel::hand(ULONG_PTR kind, const void* data, std::size_t size) noexcept {
    if (peer_ == 0) return false;
    try {
        std::vector<char> message(keySize + size);
        std::memcpy(message.data(), &key_, keySize);
        if (size != 0) std::memcpy(message.data() + keySize, data, size);
        return platform_.sendToInstance(peer_, kind, message.data(), message.size());
    } catch (...) {
        return false;
    }
}

bool InstanceChannel::handLines(const std::wstring& lines) noexcept {
    return hand(linesKind, lines.data(), lines.size() * sizeof(wchar_t));
}

void InstanceChannel::handInstallerRuns() noexcept { hand(installerRunsKind, nullptr, 0); }

void InstanceChannel::handOutcome(DWORD exitCode) noexcept {
    if (log_ != nullptr) log_->flush();
    hand(outcomeKind, &exitCode, sizeof exitCode);
}

void InstanceChannel::tellOtherRuns() noexcept { platform_.sendToInstance(0, anotherStartKind, nullptr, 0); }

}  // namespace tolvane
