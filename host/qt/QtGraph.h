// Drawing the toolkit-free graphs with Qt Charts: the widgets a dialog's graph and bar controls
// become, and pictures of a graph (PNG or SVG) for the CLI and the "Picture" command.
#pragma once

#include <functional>

#include "MC_Graph.h"

#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>

class CDialog;
class QApplication;
class QTimer;

namespace qtgraph {
class GraphPanel;
}

// The graph a dialog control shows: it follows whatever CGraphWindow is subclassed onto the
// control, and on each tick takes only the points added since it last drew. With the mouse:
// drag across to zoom into an X span, click to place cursor 0 (Shift: cursor 1), right-click to
// fit everything.
class QtGraphView : public QWidget {
public:
    // `menu` (optional) is offered a right click at its screen position first: true when it
    // opened a menu there, else the click fits the graph.
    QtGraphView(const CDialog& dialog, int controlId, QWidget* parent, std::function<bool(const QPoint&)> menu = {});
    ~QtGraphView() override;
    // Brings the drawing up to date with the graph (called by the view's timer; tests call it).
    void Sync();
    // How many points the curves hold as drawn, for checks.
    std::size_t DrawnPoints() const;

private:
    const CDialog& m_dialog;
    int m_id;
    qtgraph::GraphPanel* m_panel = nullptr;
    QTimer* m_timer;
    const CGraphWindow* m_shown = nullptr;
    std::string m_signature;
    std::uint64_t m_revision = 0;
    std::uint64_t m_appended = 0;
    std::uint64_t m_generation = 0;
};

// The bar a dialog control shows.
class QtBarView : public QWidget {
public:
    QtBarView(const CDialog& dialog, int controlId, QWidget* parent);
    QSize sizeHint() const override { return {200, 24}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const CDialog& m_dialog;
    int m_id;
    std::uint64_t m_revision = 0;
};

// A picture of the graph as it stands: PNG or SVG by the extension of `path`, written
// atomically. Needs a QApplication (EnsureQtApplication). Empty on success, else the reason.
std::string WriteGraphPicture(const CGraphWindow& window, const std::string& path, int width_px = 800,
                              int height_px = 500);

// What the CLI calls to save a plot: CSV (the shown items), PNG or SVG by the extension;
// creates the application object pictures need. Empty on success, else the reason.
std::string ExportGraphFile(const CGraphWindow& window, const std::string& path);

// The process's application object, created on first use; offscreen when there is no display
// and no platform was asked for. Null when a non-widget application already exists.
QApplication* EnsureQtApplication();

// Lets CGraphWindow::CreateWMF and WritePicture draw with Qt.
void InstallQtGraphPictures();
