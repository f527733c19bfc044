// How deep Pellucidor is filtering itself. An archive inside an archive is filtered by another
// filter object of our own class, which the outer object's child-filter loader creates and calls
// from inside the outer object's GetChunk, on the same thread; so the number of our filter
// objects that are inside Init or GetChunk on a thread is the depth of the current call.
#pragma once
#include <windows.h>

// Archives filtered one inside another on one thread, the outermost included. Each level holds a
// live filter object with its open archive handles and, for its inner archive, the document in
// memory or an extracted copy on disk; what they hold in memory is charged to the one account of
// the run, which refuses a level that does not fit. Each level also adds a few frames to the host
// thread's stack. Archives met in practice nest one or two deep (mailed archives, backups of
// folders holding archives); eight covers them with room to spare.
constexpr LONG MAX_NESTED_ARCHIVES = 8;

// Counts one of our filter objects as inside Init or GetChunk for the scope's life.
class CNestingScope
{
public:
    CNestingScope() noexcept;
    ~CNestingScope();
    CNestingScope(const CNestingScope &) = delete;
    CNestingScope &operator=(const CNestingScope &) = delete;
};

// How many of our filter objects are inside Init or GetChunk on the calling thread. When the
// count cannot be kept (no thread-local slot was free), MAX_NESTED_ARCHIVES: an archive is then
// still filtered, but none inside it by our own class.
LONG NestingDepth() noexcept;
