// What a user typed into a field: read by the toolkit in the desktop's
// locale, then judged by the field's rule, the same the profile file and
// vtctl apply. Nothing when the text is no number or the rule refuses it;
// each window words that its own way.
#pragma once

#include "Rules.h"

#include <QString>

#include <optional>

// An integer field; `row` counts from 0 where the rule differs by row.
std::optional<int> ParseField(const QString& text, rules::Field field, unsigned row = 0);
// A single-precision field, rounded to single precision.
std::optional<float> ParseSingleField(const QString& text, rules::Field field);
