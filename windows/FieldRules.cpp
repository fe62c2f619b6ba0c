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

std::optional<std::uint8_t> ParseDisplayAddress(const QString& text)
{
    if (const std::optional<int> address = ParseField(text, rules::Field::DisplayAddress))
        return std::uint8_t(*address);
    return std::nullopt;
}
