#include "Wspolczynniki.h"

#include "Convert.h"
#include "Exchange.h"
#include "ProgramLink.h"
#include "Rules.h"
#include "MessageBox.h"
#include "Modbus.h"
#include "PortAction.h"
#include "ui_Wspolczynniki.h"

#include <QLocale>

TForm9* Form9 = nullptr;

namespace {

constexpr unsigned kReplyPauseMs = 500;
constexpr float kLowPoint = 4, kHighPoint = 20;  // the points a line is shown by

// "%.2f" in the desktop's numbers, as the points beside it are shown.
QString Fixed2(float value)
{
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(double(value), 'f', 2);
}

void Refuse(QLineEdit* field)
{
    ShowFieldError(field, QStringLiteral("Error of the recalibration coefficient"));
}

}  // namespace

TForm9::TForm9() : ui(Design<Ui::TForm9>(Border::Dialog, Placement::ScreenCenter)) {}

TForm9::Input TForm9::InputI() const
{
    return {ui->Edit1, ui->Edit2, ui->Edit3, ui->Edit4, ui->Label11, Blocks::CoefficientsInputI.first};
}

TForm9::Input TForm9::InputII() const
{
    return {ui->Edit5, ui->Edit6, ui->Edit7, ui->Edit8, ui->Label12, Blocks::CoefficientsInputII.first};
}

void TForm9::FormShow()
{
    ShowCoefficients();
}

void TForm9::ShowCoefficients()
{
    ShowInput(InputI());
    ShowInput(InputII());
}

std::array<QString, 4> TForm9::ShownPoints(const Input& input)
{
    const float a = Image.GetFloat(input.slope), b = Image.GetFloat(input.slope + 1);
    return {FloatToStrFixed2(kLowPoint), FloatToStrFixed2(float(a * kLowPoint + b)), FloatToStrFixed2(kHighPoint),
            FloatToStrFixed2(float(a * kHighPoint + b))};
}

bool TForm9::PointsUnedited(const Input& input)
{
    const std::array<QString, 4> shown = ShownPoints(input);
    return input.x1->text() == shown[0] && input.y1->text() == shown[1] && input.x2->text() == shown[2]
           && input.y2->text() == shown[3];
}

void TForm9::ShowInput(const Input& input)
{
    const std::array<QString, 4> shown = ShownPoints(input);
    input.x1->setText(shown[0]);
    input.y1->setText(shown[1]);
    input.x2->setText(shown[2]);
    input.y2->setText(shown[3]);
    ShowFormula(input);
}

void TForm9::ShowFormula(const Input& input)
{
    const float a = Image.GetFloat(input.slope), b = Image.GetFloat(input.slope + 1);
    input.formula->setText(QStringLiteral("y = %1 * x + %2").arg(Fixed2(a), Fixed2(b)));
}

bool TForm9::ComputeInput(const Input& input)
{
    // Points shown with two decimals give back only a near line: an input
    // the user left as shown keeps its coefficients to the bit.
    if (PointsUnedited(input))
        return true;
    // In this order: x1, x2, y1, y2; the first that is no number is refused.
    QLineEdit* const edits[] = {input.x1, input.x2, input.y1, input.y2};
    float point[4];
    for (int k = 0; k < 4; ++k) {
        // The display computes in single precision: a point it cannot hold is no number.
        const std::optional<double> value = TryStrToFloat(edits[k]->text());
        if (!value || !rules::FitsSingle(*value)) {
            Refuse(edits[k]);
            return false;
        }
        point[k] = float(*value);
    }
    const float x1 = point[0], x2 = point[1], y1 = point[2], y2 = point[3];
    // Single precision at every step, as the display computes.
    const float dx = x2 - x1;
    const float a = dx != 0 ? (y2 - y1) / dx : 0;
    const float b = y1 - a * x1;
    // Equal indicated values give no line, and points too close give one
    // single precision cannot hold: the input keeps its coefficients, and
    // the other input is still taken.
    if (dx == 0 || rules::CheckSingle(rules::Field::Slope, a) || rules::CheckSingle(rules::Field::Offset, b)) {
        Refuse(input.x2);
        return true;
    }
    Image.SetFloat(input.slope, a);
    Image.SetFloat(input.slope + 1, b);
    return true;
}

bool TForm9::ComputeCoefficients()
{
    return ComputeInput(InputI()) && ComputeInput(InputII());
}

void TForm9::WriteCoefficients()
{
    if (!ComputeCoefficients() || !OpenPortForAction(OpenWhen::IfClosed))
        return;
    // Each write judged by its own reply; one message for the two.
    WriteResult inputI, inputII;
    {
        ExchangeGuard exchange;
        inputI = Link.WriteBlock(Blocks::CoefficientsInputI, kReplyPauseMs);
        inputII = Link.WriteBlock(Blocks::CoefficientsInputII, kReplyPauseMs);
    }
    // The line each input now has, computed from its points; the points stay as typed.
    ShowFormula(InputI());
    ShowFormula(InputII());
    if (inputI == WriteResult::PortLost || inputII == WriteResult::PortLost)
        ShowError(PortLostMessage());
    else if (inputI != WriteResult::Acknowledged || inputII != WriteResult::Acknowledged)
        TransmissionFailure();
}

void TForm9::SpeedButton1Click()
{
    // A refused reply leaves the image as it was, and the window shows it.
    if (OpenPortForAction(OpenWhen::IfClosed) && RefillsControls(ReadBlockAndTell(Blocks::Coefficients, kReplyPauseMs)))
        ShowCoefficients();
}

void TForm9::SpeedButton2Click()
{
    WriteCoefficients();
}
