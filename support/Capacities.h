// The fixed capacities of the system's string buffers, in characters with the terminating NUL
// (bytes where the name says so). Kept in one place so that buffers handed from one folder to
// another agree.
#pragma once
#include <stddef.h>

constexpr size_t CCH_KEY_PATH = 2048;         // settings paths, registry key paths, module paths
constexpr size_t CCH_RUN_PATH = 2049;         // the run's folder, entry names and folders, extracted paths
constexpr size_t CCH_FILE_PATH = 261;         // file-system paths: MAX_PATH and one
constexpr size_t CCH_PROGID = 256;            // ProgIDs and content types
constexpr size_t CCH_CLSID = 39;              // a class identifier in registry form: "{" 36 "}" NUL
constexpr size_t CCH_FILE_NAME = 257;         // a base name or extension of up to 256 characters
constexpr size_t CCH_TITLE = 16384;           // the text of the title chunk
constexpr size_t CB_ARCHIVE_COMMENT = 16384;  // an archive comment, in bytes
