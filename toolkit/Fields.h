// The small steps every window takes between its controls and its values:
// list entries by index, integers in a range, the display address.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

class QComboBox;
class QLineEdit;

// Selects entry `index`, or none when the list has no such entry (a code the
// display sent that the list does not offer).
void SelectEntry(QComboBox* list, std::uint32_t index);
// The selected entry's index, or nothing when none is selected: the caller
// keeps what it had rather than storing -1.
std::optional<std::uint32_t> SelectedEntry(const QComboBox* list);

// The typed integer when it lies in [low, high].
std::optional<int> ParseIntInRange(const QString& text, int low, int high);
// A typed number rounded to single precision, or nothing when the text is no
// number or single precision cannot hold it (1E39 would become infinite).
std::optional<float> ParseSingle(const QString& text);
// A Modbus address of a display, 1 to 247.
std::optional<std::uint8_t> ParseDisplayAddress(const QString& text);

// Makes an edit wide enough to show `longest` whole in its own font.
void FitWidthToText(QLineEdit* edit, const QString& longest);
