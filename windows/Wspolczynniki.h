#pragma once

#include "TForm.h"

#include <array>

class QLabel;
class QLineEdit;

namespace Ui {
class TForm9;
}

// The linear recalibration y = a·x + b of the display's two measuring inputs
// (7643, 7644 and 7647, 7648), each computed from two points.
class TForm9 : public TForm {
    Q_OBJECT
public:
    TForm9();

    // Each input's line as its points at 4 and 20 and its formula.
    void ShowCoefficients();
    // The points into a and b of each input; false when an edit holds no
    // number single precision can hold (nothing is then sent).
    bool ComputeCoefficients();
    void WriteCoefficients();

    Ui::TForm9* ui;

public slots:
    void FormShow();
    void SpeedButton1Click();
    void SpeedButton2Click();

private:
    struct Input {
        QLineEdit* x1;
        QLineEdit* y1;
        QLineEdit* x2;
        QLineEdit* y2;
        QLabel* formula;
        unsigned slope;  // the register of a; b's follows it
    };
    Input InputI() const;
    Input InputII() const;
    void ShowInput(const Input& input);
    // "y = 1,25 * x + -273,15": the image's line of `input`, in the desktop's numbers.
    static void ShowFormula(const Input& input);
    // The texts of x1, y1, x2 and y2 that show the image's line of `input`.
    static std::array<QString, 4> ShownPoints(const Input& input);
    static bool PointsUnedited(const Input& input);
    bool ComputeInput(const Input& input);
};

extern TForm9* Form9;
