// Replacements for three pieces of the statically linked C++ runtime,
// linked into Tolvane.exe only. Together they keep about 130 KB out of the
// image.
//
// - The default handler for an uncaught exception prints the exception's
//   type to a console nobody sees, through a name demangler and the C
//   runtime's formatted output. runProgram catches every failure, so this
//   handler only runs after a fault in the program itself; it says so in a
//   box, as the program's other failures do, and ends with the code of a
//   fault of the program's own (1359).
// - The standard containers raise their errors through std::__throw_*,
//   whose library versions bring every standard exception class along with
//   the old string implementation they are built on. Ours raise what
//   runProgram reports: running out of memory, or a Failure for a fault of
//   the program's own.
//
// - The exceptions under way are counted per thread, in storage the runtime
//   emulates for each thread with locks of its own. The program raises and
//   catches on one thread only: one count serves.
//
// Should a later runtime need one of these functions that is not defined
// here, the linker pulls in the library's versions too and stops on the
// duplicate definitions: the image can only get bigger again, never quietly
// behave differently.
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/text.h"
#include "resources/text_ids.h"

namespace {

[[noreturn]] void raiseInternalFault(const char* where) {
    const char* end = where == nullptr ? where : where + std::strcspn(where, ":");  // the function, not the details
    throw tolvane::Failure(ERROR_INTERNAL_ERROR, tolvane::joined({L"Tolvane met a fault of its own (in ",
                                                                  tolvane::fromAnsi(where, static_cast<std::size_t>(end - where)), L")"}));
}

}  // namespace

namespace __gnu_cxx {

// In the person's language, copied without allocating.
void __verbose_terminate_handler() {
    if (tolvane::faultBoxShown) {
        wchar_t text[128] = L"Tolvane stopped because of a fault of its own.";
        const wchar_t* found = tolvane::findText(nullptr, IDS_OWN_FAULT, tolvane::faultBoxLanguage != 0 ? tolvane::faultBoxLanguage
                                                                                 : tolvane::textsFor(::GetUserDefaultUILanguage()));
        if (found != nullptr && *found < 128) std::memcpy(text, found + 1, *found * sizeof(wchar_t)), text[*found] = 0;
        ::MessageBoxW(nullptr, text, L"Tolvane", MB_ICONERROR | MB_OK);
    }
    ::ExitProcess(ERROR_INTERNAL_ERROR);
}

}  // namespace __gnu_cxx

// The runtime's own layout: the exceptions caught, then the count of those
// not yet caught.
namespace {

struct EhGlobals {
    void* caughtExceptions;
    unsigned int uncaughtExceptions;
} ehGlobals;

}  // namespace

extern "C" void* __cxa_get_globals() noexcept { return &ehGlobals; }
extern "C" void* __cxa_get_globals_fast() noexcept { return &ehGlobals; }

namespace std {

void __throw_bad_alloc() { throw std::bad_alloc(); }
void __throw_bad_array_new_length() { throw std::bad_alloc(); }
// Only a request for more characters than memory can hold.
void __throw_length_error(const char*) { throw std::bad_alloc(); }
void __throw_logic_error(const char* what) { raiseInternalFault(what); }
void __throw_out_of_range(const char* what) { raiseInternalFault(what); }
void __throw_out_of_range_fmt(const char* what, ...) { raiseInternalFault(what); }
void __throw_invalid_argument(const char* what) { raiseInternalFault(what); }

}  // namespace std
