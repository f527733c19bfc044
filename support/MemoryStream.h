// A read-only IStream over a document held in memory, answering Stat with the document's name:
// how a document inside an archive reaches a child filter that reads streams, with no file.
// The stream and its clones share the bytes, each with a position of its own; any thread may use
// a stream, one at a time.
#pragma once
#include <windows.h>
#include <objidl.h>

#include "support/ByteBuffer.h"
#include "support/RunBudget.h"

// A new stream with one reference for the caller, holding `bytes` (taken over) and named pszName
// (may be NULL); NULL when memory runs out. `charge`, what the bytes are charged to the run's
// account, is held until the bytes are freed.
IStream *CreateMemoryDocumentStream(CByteBuffer &&bytes, const wchar_t *pszName,
                                    CBudgetCharge &&charge = CBudgetCharge()) noexcept;
