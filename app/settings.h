// Per-user settings store: one INI file per application under the maker's folder,
// $XDG_CONFIG_HOME/Quillon/<application key>.ini. Every value is stored as text.
// Each call opens, acts and closes; nothing is cached.
#pragma once

#include <Qt>
#include <stdexcept>
#include <string>

class QWidget;
class QTableView;

class ESettingsError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

void SetSettingsApplication(const std::string& name);
std::string SettingsApplication();

std::string ReadSettingString(const std::string& name, const std::string& def);
void WriteSettingString(const std::string& name, const std::string& text);
int ReadSettingInt(const std::string& name, int def);
void WriteSettingInt(const std::string& name, int value);
bool ReadSettingBool(const std::string& name, bool def);
void WriteSettingBool(const std::string& name, bool value);

void LoadFormPlacement(const std::string& prefix, QWidget& window);
void SaveFormPlacement(const std::string& prefix, QWidget& window);

// Kind of the field behind a grid column; the grid's model answers it through
// headerData(section, Qt::Horizontal, FieldKindRole) as an int. It picks the
// default column width.
enum class FieldKind { NarrowText, WideText, Integer, Boolean, DateTime, Other };
inline constexpr int FieldKindRole = Qt::UserRole + 100;

void LoadGridLayout(const std::string& prefix, QTableView& grid);
void SaveGridLayout(const std::string& prefix, QTableView& grid);
