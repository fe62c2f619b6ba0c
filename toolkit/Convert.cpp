#include "Convert.h"

#include <QLocale>
#include <QRegularExpression>

#include <cmath>
#include <limits>

EConvertError::EConvertError(const QString& message) : std::runtime_error(message.toStdString()) {}

namespace {

[[noreturn]] void Fail(const char* pattern, const QString& text)
{
    throw EConvertError(QString::fromLatin1(pattern).arg(text));
}

QString DecimalSeparator()
{
    return QLocale().decimalPoint();
}

// Digits and exponent of |value| rounded to `digits` significant digits:
// value = 0.d1d2d3... * 10^(exponent + 1), trailing zeros dropped.
void SignificantDigits(double value, int digits, QString* mantissa, int* exponent)
{
    // Qt's own formatting, always with a period: the C runtime's printf
    // follows the process locale, which the application object takes from
    // the desktop, and would put a comma here on a Polish one.
    const QString text = QString::number(std::fabs(value), 'e', digits - 1);
    int e = text.indexOf(QLatin1Char('e'));
    *exponent = text.mid(e + 1).toInt();
    QString all = text.left(e).remove(QLatin1Char('.'));
    while (all.size() > 1 && all.endsWith(QLatin1Char('0')))
        all.chop(1);
    *mantissa = all;
}

QString ExponentForm(const QString& mantissa, int exponent, bool negative)
{
    QString text = negative ? QStringLiteral("-") : QString();
    text += mantissa.left(1);
    if (mantissa.size() > 1)
        text += DecimalSeparator() + mantissa.mid(1);
    return text + QStringLiteral("E") + QString::number(exponent);
}

QString GeneralForm(double value, int precision)
{
    if (value == 0)
        return QStringLiteral("0");
    // The general float format's own words for values that are no numbers.
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("INF") : QStringLiteral("-INF");
    QString mantissa;
    int exponent;
    SignificantDigits(value, precision, &mantissa, &exponent);
    const bool negative = value < 0;
    if (exponent >= precision || std::fabs(value) < 1e-5)
        return ExponentForm(mantissa, exponent, negative);
    QString whole, fraction;
    if (exponent >= 0) {
        whole = mantissa.left(exponent + 1).leftJustified(exponent + 1, QLatin1Char('0'));
        fraction = mantissa.mid(exponent + 1);
    } else {
        whole = QStringLiteral("0");
        fraction = QString(-exponent - 1, QLatin1Char('0')) + mantissa;
    }
    QString text = negative ? QStringLiteral("-") + whole : whole;
    if (!fraction.isEmpty())
        text += DecimalSeparator() + fraction;
    return text;
}

}  // namespace

int StrToInt(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*[+-]?\\d+\\s*$"));
    if (!pattern.match(text).hasMatch())
        Fail("'%1' is not a valid integer value", text);
    bool ok = false;
    qlonglong value = text.trimmed().toLongLong(&ok);
    if (!ok || value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        Fail("'%1' is not a valid integer value", text);
    return int(value);
}

double StrToFloat(const QString& text)
{
    const QString separator = QRegularExpression::escape(DecimalSeparator());
    const QRegularExpression pattern(QStringLiteral("^\\s*([+-]?)(\\d*)(?:%1(\\d*))?(?:[eE]([+-]?\\d+))?\\s*$")
                                         .arg(separator));
    QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch() || (match.captured(2).isEmpty() && match.captured(3).isEmpty()))
        Fail("'%1' is not a valid floating point value", text);
    QString plain = match.captured(1) + (match.captured(2).isEmpty() ? QStringLiteral("0") : match.captured(2));
    if (!match.captured(3).isEmpty())
        plain += QLatin1Char('.') + match.captured(3);
    if (!match.captured(4).isEmpty())
        plain += QLatin1Char('e') + match.captured(4);
    bool ok = false;
    double value = plain.toDouble(&ok);  // C locale: separator already normalised
    if (!ok || !std::isfinite(value))
        Fail("'%1' is not a valid floating point value", text);
    return value;
}

std::optional<int> TryStrToInt(const QString& text)
{
    try {
        return StrToInt(text);
    } catch (const EConvertError&) {
        return std::nullopt;
    }
}

std::optional<double> TryStrToFloat(const QString& text)
{
    try {
        return StrToFloat(text);
    } catch (const EConvertError&) {
        return std::nullopt;
    }
}

QString FloatToStr(double value)
{
    return GeneralForm(value, 15);
}

QString FloatToStrFixed2(double value)
{
    if (std::fabs(value) >= 1e10)
        return GeneralForm(value, 10);
    QString text = QString::number(value, 'f', 2);
    if (text == QLatin1String("-0.00"))
        text = QStringLiteral("0.00");
    return text.replace(QLatin1Char('.'), DecimalSeparator());
}

QTime EncodeTime(int hours, int minutes, int seconds)
{
    const QTime time(hours, minutes, seconds);
    if (!time.isValid())
        Fail("'%1' is not a valid time",
             QStringLiteral("%1:%2:%3").arg(hours).arg(minutes).arg(seconds, 2, 10, QLatin1Char('0')));
    return time;
}

QDate EncodeDate(int year, int month, int day)
{
    const QDate date(year, month, day);
    if (!date.isValid())
        Fail("'%1' is not a valid date", QStringLiteral("%1-%2-%3").arg(year).arg(month).arg(day));
    return date;
}
