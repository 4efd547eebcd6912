// An optional export beside the extension ABI: the figures only a module knows (its
// keys, database pool, statements, uploads), the readiness check, and which path serves
// which action. The host looks the export up by name when it loads a module and uses it
// only when its version and size match; a module without it loads and serves as before.
#pragma once

#include <stdint.h>

#include "isapi/httpext.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TALLYHAND_FIGURES_EXPORT_NAME "TallyhandFiguresExport"
#define TALLYHAND_FIGURES_VERSION 1
// Upper bounds in seconds of the statement duration buckets, smallest first, fixed by
// the version so that both sides agree on them.
#define TALLYHAND_STATEMENT_BUCKETS 13
#define TALLYHAND_STATEMENT_BUCKET_BOUNDS \
  {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0}
// Longest action name and path a module may declare, and how many actions at most.
#define TALLYHAND_ACTION_NAME_MAX 32
#define TALLYHAND_ACTION_PATH_MAX 128
#define TALLYHAND_ACTIONS_MAX 8

typedef struct TALLYHAND_EXTENSION_FIGURES {
  uint64_t sessionKeysLive;
  uint64_t workersBusy;
  uint64_t workerQueueDepth;
  uint64_t dbConnectionsIdle;
  uint64_t dbConnectionsBusy;
  uint64_t dbReconnects;
  uint64_t dbStatementErrors;
  // Statements by duration: count per bucket (not cumulative); the last slot counts
  // those slower than the largest bound.
  uint64_t statementBuckets[TALLYHAND_STATEMENT_BUCKETS + 1];
  double statementSecondsSum;
  uint64_t uploadsStored;
  uint64_t uploadBytes;
  uint64_t eventLogWriteErrors;
} TALLYHAND_EXTENSION_FIGURES;

// A path info the module serves (letter case ignored, "/" counting as empty) and the
// name of its action, a label value of lower-case letters and '_'.
typedef struct TALLYHAND_ACTION_PATH {
  const char* name;
  const char* pathInfo;
} TALLYHAND_ACTION_PATH;

typedef struct TALLYHAND_FIGURES_EXPORT {
  uint32_t version;  // TALLYHAND_FIGURES_VERSION
  uint32_t size;     // sizeof(TALLYHAND_FIGURES_EXPORT) as the module was built
  uint32_t figuresSize;  // sizeof(TALLYHAND_EXTENSION_FIGURES) as the module was built
  uint32_t actionCount;
  const TALLYHAND_ACTION_PATH* actions;
  // Fills the figures; callable from any thread once the module has started; FALSE
  // when it has none to give.
  BOOL (*ReadFigures)(TALLYHAND_EXTENSION_FIGURES* figures);
  // What the test page checks (the database reachable), without taking a worker;
  // blocks at most for the database's connect timeout. FALSE with a reason (cut to
  // reasonSize, terminated) when not ready.
  BOOL (*CheckReady)(char* reason, DWORD reasonSize);
} TALLYHAND_FIGURES_EXPORT;

#ifdef __cplusplus
}
#endif
