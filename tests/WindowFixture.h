// For the window tests: all ten windows created once, as at start-up, a
// simulated display on COM 1, and message boxes recorded instead of shown.
#pragma once

#include "Main.h"
#include "MessageRecorder.h"
#include "SimFixture.h"
#include "Startup.h"

#include <QComboBox>
#include <QLineEdit>
#include <QToolButton>

struct WindowFixture : SimFixture {
    MessageRecorder* messages = nullptr;

    static void CreateWindows()
    {
        if (!Form1)
            CreateForms();
    }

    // A fresh display and link, with the start values the main window sets.
    void Begin(const sim::SimDisplay::Options& options = {})
    {
        CreateWindows();
        Start(options);
        Form1->Invoke("FormCreate");
        messages = new MessageRecorder;
    }

    void End()
    {
        delete messages;
        messages = nullptr;
        Stop();
    }

    // The exchanges the display saw since the last call.
    std::vector<sim::ReceivedFrame> TakeFrames()
    {
        auto frames = display->Frames();
        display->ClearFrames();
        return frames;
    }
};

template <typename Form>
QComboBox* Combo(Form* form, const char* name)
{
    return form->template findChild<QComboBox*>(QString::fromLatin1(name));
}

template <typename Form>
QLineEdit* LineEdit(Form* form, const char* name)
{
    return form->template findChild<QLineEdit*>(QString::fromLatin1(name));
}

template <typename Form>
QToolButton* Button(Form* form, const char* name)
{
    return form->template findChild<QToolButton*>(QString::fromLatin1(name));
}
