#pragma once

#include <QLabel>
#include <QWidget>
#include <array>

// A status bar of two fixed-width panels, docked by its owner to the bottom edge.
class TStatusBar : public QWidget {
    Q_OBJECT
public:
    static constexpr int kHeight = 19;

    explicit TStatusBar(QWidget* parent);

    QString PanelText(int panel) const { return panels_.at(panel)->text(); }
    void SetPanelText(int panel, const QString& text);
    int PanelWidth(int panel) const { return panels_.at(panel)->width(); }
    void SetPanelWidth(int panel, int width);

private:
    void layoutPanels();
    std::array<QLabel*, 2> panels_{};
};
