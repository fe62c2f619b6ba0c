#include "FieldRules.h"

#include "Convert.h"

std::optional<int> ParseField(const QString& text, rules::Field field, unsigned row)
{
    const std::optional<int> value = TryStrToInt(text);
    if (!value || rules::CheckInteger(field, *value, row))
        return std::nullopt;
    return value;
}

std::optional<float> ParseSingleField(const QString& text, rules::Field field)
{
    const std::optional<double> value = TryStrToFloat(text);
    if (!value || rules::CheckSingle(field, *value))
        return std::nullopt;
    return float(*value);
}
