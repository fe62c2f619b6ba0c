// The small steps every window takes between its controls and its values:
// list entries by index, and edits sized to what they show.
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

// Makes an edit wide enough to show `longest` whole in its own font.
void FitWidthToText(QLineEdit* edit, const QString& longest);
