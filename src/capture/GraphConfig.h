#pragma once

#include <QString>

// The capture configuration: devices, compressors, graph options and the chosen modes.
// Its text form is what the settings file stores under Camera/Config.
//
// FIXME: only the text form is kept so far; the fields and their comma-text encoding come
// with the capture graph.
class TGraphConfig {
  public:
    void SetDefaults() { ConfigText.clear(); }
    QString SaveToString() const { return ConfigText; }
    void LoadFromString(const QString& text) { ConfigText = text; }

  private:
    QString ConfigText;
};
