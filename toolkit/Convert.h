// Text to value and back in the user's locale (QLocale's default, never the
// C runtime's, which follows the process locale), failing on text that cannot
// be read with EConvertError, the one exception the windows catch around what
// the user typed.
#pragma once

#include <QDate>
#include <QString>
#include <QTime>

#include <optional>
#include <stdexcept>

class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const QString& message);
    QString Message() const { return QString::fromUtf8(what()); }
};

// Decimal, optional sign, blanks around it allowed, 32-bit range.
int StrToInt(const QString& text);
// The locale's decimal separator, an optional exponent; no thousands
// separators, no INF or NAN.
double StrToFloat(const QString& text);
// 15 significant digits, no trailing zeros; exponent form below 1E-5 and from
// 1E15 on (1E20, 1.5E-7).
QString FloatToStr(double value);
// Two decimals; at most 10 digits before the separator, else exponent form.
QString FloatToStrFixed2(double value);
// What the user typed, read where a window shows its own message instead of
// the conversion error: the value, or nothing when the text is not a number.
std::optional<int> TryStrToInt(const QString& text);
std::optional<double> TryStrToFloat(const QString& text);

// A time of day or a date from its numbers; fails with the conversion error
// naming them as the text "h:m:ss" or "y-m-d" ("13:99:00", "2007-13-5") when
// there is no such time or date. The desktop's formats play no part.
QTime EncodeTime(int hours, int minutes, int seconds);
QDate EncodeDate(int year, int month, int day);
