// The pictures folder beside the host executable, and saving an uploaded picture in it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tallyhand {

// The folder of the host process's executable followed by "mobiletcimages/". The
// executable's path is asked of the system once per process. Raises EInOutError when
// the system does not tell it.
std::string PicturesFolder();

// The longest picture name accepted, in bytes (the usual file name limit).
inline constexpr std::size_t kMaxPictureNameBytes = 255;

// Why a client-given picture name cannot be used as a file name in the pictures folder
// (it could leave the folder, name a drive, hide control characters or be no name at
// all); nullopt when the name is a plain file name that may be used unchanged.
std::optional<std::string> CheckPictureName(std::string_view name);

// Saves bytes as folder + name, replacing any file of that name. The folder (ending with
// '/') is created with its parents when missing. The bytes go to a temporary file in the
// folder first (".upload:PID:N.part", locked while it is written), are flushed to disk
// and then renamed over the final name, so readers and concurrent uploads of the same
// name only ever see one whole picture, and a crash never leaves half of one. Raises
// EInOutError naming the path and the cause; the temporary file is gone then.
void SavePicture(const std::string& folder, const std::string& name, std::string_view bytes);

// Removes the temporary files that uploads interrupted by a crash left in the folder:
// those that no process holds locked. Several servers may share one pictures folder, so
// the file of an upload that another live process is writing stays. Returns how many
// were removed; a missing folder has none.
std::size_t RemoveUnfinishedUploads(const std::string& folder);

}  // namespace tallyhand
