#pragma once

// Keeping an export: the Save dialog that copies a scratch file where the
// user chooses, and the click of the MIDI and audio keys that makes the file
// and offers it. The dialog asks before replacing a file, and the copy goes
// to a hidden file beside the target that is renamed over it only once
// complete, so a failed save leaves the destination as it was.
//
// Thread contract: main thread only.

#include <filesystem>
#include <memory>

#include "files/written.h"

class QWidget;

namespace quimbel {

class PadModel;

// The kind of file a Save dialog offers, which sets its type filter.
enum class SaveType { midi, wav, mpeg4Movie };

// Copies `file` to `destination` through a hidden file beside it; on any
// failure that file is removed and the destination is left untouched.
Written copyFileAside(const std::filesystem::path& file, const std::filesystem::path& destination);

// Offers to save `file` under its own name and returns at once: the dialog
// is window-modal on `window`, or application-modal without one.
// `hold` is kept until the dialog closes (the panel stays open meanwhile).
void offerSave(const std::filesystem::path& file, SaveType type, QWidget* window,
               std::shared_ptr<void> hold = {});

// The click of the MIDI (`SaveType::midi`) or audio (`SaveType::wav`) key:
// writes the take's file and offers it; nothing without a finished take.
void saveTake(PadModel& model, SaveType type, QWidget* window, std::shared_ptr<void> hold = {});

}  // namespace quimbel
