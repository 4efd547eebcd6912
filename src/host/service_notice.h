// Tells systemd how the server stands, when it runs as a notify service; without
// NOTIFY_SOCKET in the environment nothing is sent.
#pragma once

namespace tallyhand::host {

// Listening: the service is ready.
void NoticeReady();
// The stop has begun; the connections drain.
void NoticeStopping();
// A reload (SIGHUP) has begun, and has ended.
void NoticeReloading();
void NoticeReloaded();

}  // namespace tallyhand::host
