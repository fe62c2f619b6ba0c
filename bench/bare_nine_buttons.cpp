// The yardstick for the tool's start-up: a bare Qt Widgets program whose one
// window holds nine flat buttons with text, as the main window does.
#include <QApplication>
#include <QDialog>
#include <QToolButton>
#include <QVBoxLayout>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QDialog window;
    auto* layout = new QVBoxLayout(&window);
    for (int k = 1; k <= 9; ++k) {
        auto* button = new QToolButton(&window);
        button->setText(QStringLiteral("Button %1").arg(k));
        button->setAutoRaise(true);
        layout->addWidget(button);
    }
    window.show();
    return application.exec();
}
