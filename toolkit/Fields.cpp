#include "Fields.h"

#include <QComboBox>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionFrame>

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

void FitWidthToText(QLineEdit* edit, const QString& longest)
{
    QStyleOptionFrame option;
    option.initFrom(edit);
    const QSize text(edit->fontMetrics().horizontalAdvance(longest) + 2 * edit->fontMetrics().averageCharWidth(),
                     edit->fontMetrics().height());
    edit->setMinimumWidth(edit->style()->sizeFromContents(QStyle::CT_LineEdit, &option, text, edit).width());
}
