// The identifiers of the program's own texts, the ones a person reads, in
// the string tables of resources/texts.rc (one per language).
#pragma once

#define IDS_UNCHANGED 1
#define IDS_PUT_BACK 2
#define IDS_MAY_NOT_WORK 3
#define IDS_REPAIRED 4
#define IDS_RUN_AGAIN 5
#define IDS_LOG_IN_TEMP 6
#define IDS_USE_ANOTHER_DISC 7
#define IDS_CLOSE_THE_HOLDER 8
#define IDS_CLOSE_NAMED 9
#define IDS_RUN_AGAIN_TO_PUT_BACK 10
#define IDS_DETAILS 11
#define IDS_SESSION_END_REASON 12
#define IDS_SWITCHES_HELP 13
#define IDS_SWITCH_NOT_KNOWN 14
#define IDS_SWITCH_NEEDS_FILE 15
#define IDS_REPAIR_STOPPED 16
#define IDS_OWN_FAULT 17
// One past the last.
#define IDS_END 18
