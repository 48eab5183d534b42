#pragma once

// The settings dialog of a capture pin: a choice among the modes the device offers. OK applies
// the choice through the pin's SetFormat, exactly as choosing the mode from a list does;
// Cancel changes nothing.

#include "CapturePlatform.h"
#include "GstHandle.h"
#include "GstMediaType.h"

#include <QDialog>

#include <memory>
#include <vector>

// Format, size and frame rate as three lists (named "format", "size" and "rate"), each
// narrowed by the ones before it.
std::unique_ptr<QDialog>
MakeVideoModeDialog(QWidget* owner, std::shared_ptr<IAMStreamConfig> config, TGstCapsRef offered);
// One list of the sound modes (named "mode").
std::unique_ptr<QDialog> MakeAudioModeDialog(QWidget* owner,
                                             std::shared_ptr<IAMStreamConfig> config);
