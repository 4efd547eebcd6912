#include "host/service_notice.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace tallyhand::host {
namespace {

void Notice(const char* state) {
  if (std::getenv("NOTIFY_SOCKET") == nullptr) return;
  // A failed notice changes nothing for the clients: the result is left unread.
  (void)sd_notify(0, state);
}

}  // namespace

void NoticeReady() { Notice("READY=1"); }
void NoticeStopping() { Notice("STOPPING=1"); }
void NoticeReloading() { Notice("RELOADING=1"); }
void NoticeReloaded() { Notice("READY=1"); }

}  // namespace tallyhand::host
