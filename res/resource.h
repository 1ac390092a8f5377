// Resource identifiers, shared by the resource script and the C++ code.
#pragma once

#define IDD_CHECKVELA_DIALOG 102
#define IDR_MAINFRAME 128
#define IDC_STATUS 1000
#define IDC_DETAIL 1001

// String table (the texts themselves are in strings.def).
#define IDS_UNKNOWN_WIN32_ERROR 6
#define IDS_IMPORTING_FILE 9
#define IDS_QUEUE_DIR_MISSING 273
#define IDS_QUEUE_CONFIG_MISSING 274
#define IDS_PROFILE_WRITE_ERROR 290
#define IDS_BACKUP_FAILED 291
#define IDS_RESTORE_SCRIPT_CREATE_FAILED 292
#define IDS_RESTORE_SCRIPT_WRITE_FAILED 293
#define IDS_WINDOWS_DIRECTORY_ERROR 294
#define IDS_REGISTRY_FILE_INVALID 295
#define IDS_BACKUP_PATH_UNSPELLABLE 296

// The private message that starts the stages: WM_APP + 100.
#define WM_CHECK_INSTALLATION 0x8064
