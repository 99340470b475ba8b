#include "app/StatusBar.h"

TStatusBar::TStatusBar(QWidget* parent) : QWidget(parent) {
    const std::array<int, 2> widths = {200, 300};
    for (int i = 0; i < 2; ++i) {
        auto* panel = new QLabel(this);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setTextFormat(Qt::PlainText);
        // Screen readers read the panel's text as its name; the description says which panel.
        panel->setAccessibleDescription(QStringLiteral("StatusBar1.Panels[%1]").arg(i));
        panel->resize(widths[i], kHeight);
        panels_[i] = panel;
    }
    layoutPanels();
}

void TStatusBar::SetPanelText(int panel, const QString& text) {
    panels_.at(panel)->setText(text);
    // Shown at once: a long copy may follow before the event loop paints again.
    panels_.at(panel)->repaint();
}

void TStatusBar::SetPanelWidth(int panel, int width) {
    panels_.at(panel)->resize(width, kHeight);
    layoutPanels();
}

void TStatusBar::layoutPanels() {
    int left = 0;
    for (QLabel* panel : panels_) {
        panel->move(left, 0);
        left += panel->width();
    }
}
