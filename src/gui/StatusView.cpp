#include "gui/StatusView.h"
#include "gui/QtText.h"

#include "gui/Pictures.h"
#include "users/ProxyUsersFrames.h"

#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace corvan {

namespace {

// The label column reads "Up-Time:", whether or not the model wrote the colon.
QString LabelText(const std::string& label) {
    QString text = Q(label);
    if (!text.endsWith(':'))
        text += ':';
    return text;
}

QString StatusColourName(TframeProxyUserStatus::TStatusColour colour) {
    switch (colour) {
    case TframeProxyUserStatus::TStatusColour::Purple: return "purple";
    case TframeProxyUserStatus::TStatusColour::Navy: return "navy";
    case TframeProxyUserStatus::TStatusColour::Red: return "red";
    }
    return {};
}

// A line that ends in a web address shows the address as a link that opens the browser.
void ShowLine(QLabel* label, const QString& text) {
    qsizetype at = text.indexOf("http://");
    if (at < 0)
        at = text.indexOf("https://");
    if (at < 0) {
        label->setTextFormat(Qt::PlainText);
        label->setText(text);
        return;
    }
    QString url = text.mid(at).toHtmlEscaped();
    label->setTextFormat(Qt::RichText);
    label->setOpenExternalLinks(true);
    label->setTextInteractionFlags(Qt::TextBrowserInteraction);
    label->setText(text.left(at).toHtmlEscaped() + "<a href=\"" + url + "\">" + url + "</a>");
}

} // namespace

TStatusView::TStatusView(AStatusFrame* frame, QWidget* parent) : QWidget(parent), FFrame(frame) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(10, 10, 10, 10);
    outer->setSpacing(8);

    auto* head = new QHBoxLayout;
    head->setSpacing(10);
    FPicture = new QLabel(this);
    FPicture->setFixedSize(48, 48);
    head->addWidget(FPicture, 0, Qt::AlignTop);
    head->setAlignment(Qt::AlignTop);
    auto* lines = new QVBoxLayout;
    lines->setSpacing(2);
    for (size_t i = 0; i < frame->Lines.size(); ++i) {
        auto* line = new QLabel(this);
        line->setWordWrap(true);
        if (i == 0) {
            QFont bold = line->font();
            bold.setBold(true);
            line->setFont(bold);
        }
        lines->addWidget(line);
        FLines.push_back(line);
    }
    head->addLayout(lines, 1);
    outer->addLayout(head);

    if (!frame->Values.empty()) {
        auto* grid = new QGridLayout;
        grid->setHorizontalSpacing(12);
        grid->setVerticalSpacing(3);
        for (size_t i = 0; i < frame->Values.size(); ++i) {
            auto* label = new QLabel(LabelText(frame->Values[i].Label), this);
            auto* value = new QLabel(this);
            value->setTextInteractionFlags(Qt::TextSelectableByMouse);
            grid->addWidget(label, static_cast<int>(i), 0);
            grid->addWidget(value, static_cast<int>(i), 1);
            FValueLabels.push_back(label);
            FValues.push_back(value);
        }
        grid->setColumnStretch(1, 1);
        outer->addLayout(grid);
    }
    outer->addStretch();

    if (!frame->Buttons.empty()) {
        auto* buttons = new QHBoxLayout;
        buttons->setSpacing(6);
        for (const TStatusButton& b : frame->Buttons) {
            auto* button = new QPushButton(Q(b.Caption), this);
            std::string caption = b.Caption;
            connect(button, &QPushButton::clicked, this, [this, caption] {
                // The model may be released by its own handler (a user deleting itself);
                // the view and its adopted model then go later, never during the click.
                auto click = [this, caption] { FFrame->Click(caption); };
                if (RunCommand)
                    RunCommand(click);
                else
                    click();
            });
            buttons->addWidget(button);
            FButtons.push_back(button);
        }
        buttons->addStretch();
        outer->addLayout(buttons);
    }
    Refresh();
}

TStatusView::~TStatusView() = default;

void TStatusView::Adopt(std::unique_ptr<AStatusFrame> frame) {
    FOwnedFrame = std::move(frame);
}

void TStatusView::Refresh() {
    QPixmap picture = StatusPicture(FFrame->Picture);
    FPicture->setPixmap(picture);
    FPicture->setVisible(!picture.isNull());
    for (size_t i = 0; i < FLines.size(); ++i)
        ShowLine(FLines[i], i < FFrame->Lines.size() ? Q(FFrame->Lines[i]) : QString());
    for (size_t i = 0; i < FValues.size() && i < FFrame->Values.size(); ++i)
        FValues[i]->setText(Q(FFrame->Values[i].Value));
    if (auto* user = dynamic_cast<TframeProxyUserStatus*>(FFrame)) {
        for (size_t i = 0; i < FValues.size(); ++i)
            if (FFrame->Values[i].Label == "Status:")
                FValues[i]->setStyleSheet("color: " + StatusColourName(user->StatusColour));
    }
    for (size_t i = 0; i < FButtons.size() && i < FFrame->Buttons.size(); ++i)
        FButtons[i]->setEnabled(FFrame->Buttons[i].Enabled);
}

QPushButton* TStatusView::ButtonWidget(const std::string& caption) const {
    for (QPushButton* b : FButtons)
        if (b->text() == Q(caption))
            return b;
    return nullptr;
}

QImage TStatusView::PictureImage() const {
    return FPicture->isVisibleTo(this) ? FPicture->pixmap().toImage() : QImage();
}

QString TStatusView::LineText(int index) const {
    return index >= 0 && index < static_cast<int>(FLines.size()) ? FLines[index]->text()
                                                                   : QString();
}

QString TStatusView::ValueText(const std::string& label) const {
    for (size_t i = 0; i < FValues.size(); ++i)
        if (FValueLabels[i]->text() == LabelText(label))
            return FValues[i]->text();
    return {};
}

} // namespace corvan
