#include "Fields.h"

#include "Convert.h"

#include <QComboBox>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionFrame>

#include <cmath>

void SelectEntry(QComboBox* list, std::uint32_t index)
{
    list->setCurrentIndex(index < std::uint32_t(list->count()) ? int(index) : -1);
}

std::optional<std::uint32_t> SelectedEntry(const QComboBox* list)
{
    if (list->currentIndex() < 0)
        return std::nullopt;
    return std::uint32_t(list->currentIndex());
}

std::optional<int> ParseIntInRange(const QString& text, int low, int high)
{
    const std::optional<int> value = TryStrToInt(text);
    if (!value || *value < low || *value > high)
        return std::nullopt;
    return value;
}

std::optional<float> ParseSingle(const QString& text)
{
    const std::optional<double> value = TryStrToFloat(text);
    if (!value || !std::isfinite(float(*value)))
        return std::nullopt;
    return float(*value);
}

std::optional<std::uint8_t> ParseDisplayAddress(const QString& text)
{
    if (const std::optional<int> address = ParseIntInRange(text, 1, 247))
        return std::uint8_t(*address);
    return std::nullopt;
}

void FitWidthToText(QLineEdit* edit, const QString& longest)
{
    QStyleOptionFrame option;
    option.initFrom(edit);
    const QSize text(edit->fontMetrics().horizontalAdvance(longest) + 2 * edit->fontMetrics().averageCharWidth(),
                     edit->fontMetrics().height());
    edit->setMinimumWidth(edit->style()->sizeFromContents(QStyle::CT_LineEdit, &option, text, edit).width());
}
