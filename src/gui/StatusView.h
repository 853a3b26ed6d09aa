#pragma once
// Draws any status frame model (AStatusFrame): the state picture, the heading lines, the
// labelled values and the buttons. The model computes everything; the view only copies it
// onto widgets when Refresh is called and hands button clicks back to the model.

#include "component/StatusFrame.h"

#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

namespace corvan {

class TStatusView : public QWidget {
public:
    // frame: the model drawn (not owned, unless Adopt is called). The widgets for values
    // and buttons are made from the model's declarations, which a frame fixes when it is
    // constructed.
    explicit TStatusView(AStatusFrame* frame, QWidget* parent = nullptr);
    ~TStatusView() override;

    AStatusFrame* Frame() const { return FFrame; }
    // Copies the model's texts, picture, colours and button states onto the widgets.
    void Refresh();

    // Runs a command of the view (a button's handler). The window sets it to run commands
    // as it runs its own (errors in an error box, a refresh afterwards); unset, the handler
    // just runs.
    std::function<void(const std::function<void()>& command)> RunCommand;

    // Takes the model over from its component, which is about to be destroyed; the model
    // then ends with this view.
    void Adopt(std::unique_ptr<AStatusFrame> frame);

    // For tests: the button of that caption, or null.
    QPushButton* ButtonWidget(const std::string& caption) const;
    QString LineText(int index) const;
    QString ValueText(const std::string& label) const;
    // The state picture on screen; a null image while none is shown.
    QImage PictureImage() const;

private:
    AStatusFrame* FFrame;
    std::unique_ptr<AStatusFrame> FOwnedFrame;
    QLabel* FPicture = nullptr;
    std::vector<QLabel*> FLines;
    std::vector<QLabel*> FValueLabels;
    std::vector<QLabel*> FValues;
    std::vector<QPushButton*> FButtons;
};

} // namespace corvan
