#include "Informacje.h"

#include "ui_Informacje.h"

#include <QDesktopServices>
#include <QTimer>
#include <QUrl>

TForm10* Form10 = nullptr;

namespace {

constexpr std::uint32_t kTopByte = 0xFF000000;
const char* const kWebAddress = "https://verozorivira.example";  // as Label5 shows it

// Switches one colour byte: on (255) when it is off, else off together with
// the top byte.
std::uint32_t Toggle(std::uint32_t colour, unsigned shift)
{
    const std::uint32_t byte = 0xFFu << shift;
    return colour & byte ? colour & ~(byte | kTopByte) : colour | byte;
}

}  // namespace

std::uint32_t NextTitleColour(std::uint32_t colour)
{
    colour = Toggle(colour, 16);  // blue
    colour = Toggle(colour, 8);   // green
    return Toggle(colour, 0);     // red
}

TForm10::TForm10() : ui(Design<Ui::TForm10>(Border::None, Placement::ScreenCenter))
{
    // Running from creation: the title has changed colour before the window is first seen.
    Timer1 = AddTimer("Timer1", 200, true);
}

void TForm10::SetTitleColour(std::uint32_t colour)
{
    titleColour_ = colour;
    QPalette palette = ui->Label2->palette();
    const QColor shown = (colour & kTopByte) == 0x80000000
                             ? QPalette().color(QPalette::WindowText)  // the one system colour it starts in
                             : QColor(int(colour & 0xFF), int(colour >> 8 & 0xFF), int(colour >> 16 & 0xFF));
    palette.setColor(QPalette::WindowText, shown);
    ui->Label2->setPalette(palette);
}

void TForm10::Timer1Timer()
{
    SetTitleColour(NextTitleColour(titleColour_));
}

void TForm10::Label5Click()
{
    // The desktop's own handler for the address; no shell runs. Its failure
    // is of no consequence here.
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kWebAddress)));
}

void TForm10::SpeedButton1Click()
{
    Close();
}
