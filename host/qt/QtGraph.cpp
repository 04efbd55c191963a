#include "QtGraph.h"

#include "MC_Dialog.h"
#include "MC_SetupFile.h"

#include <QApplication>
#include <QBuffer>
#include <QChart>
#include <QChartView>
#include <QImage>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPainter>
#include <QScatterSeries>
#include <QSvgGenerator>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace qtgraph {

namespace {

constexpr int kSyncInterval_ms = 50;  // a scope stream redraws at most this often
// Tall enough for a chart's tick labels and axis title; below it Qt Charts elides them to "...".
constexpr int kMinChartHeight_px = 170;

QColor ToQColor(GraphColor c) { return QColor(int((c >> 16) & 0xFF), int((c >> 8) & 0xFF), int(c & 0xFF)); }

bool EndsWith(const std::string& text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    return std::equal(suffix.rbegin(), suffix.rend(), text.rbegin(),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

}  // namespace

// What the mouse does on a chart: drag across to zoom into that X span, click to put cursor 0
// there (cursor 1 with Shift), right-click to fit everything again.
struct ChartMouse {
    std::function<void(double from, double to)> zoom;
    std::function<void(int which, double x)> cursor;
    std::function<void()> fit;
    std::function<bool(const QPoint& global)> menu;
};

class ChartView : public QChartView {
public:
    ChartView(QChart* chart, QWidget* parent, const ChartMouse& mouse) : QChartView(chart, parent), m_mouse(mouse) {}

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) m_pressed = event->position();
        if (event->button() == Qt::RightButton && m_mouse.menu && m_mouse.menu(event->globalPosition().toPoint())) {
            event->accept();
            return;
        }
        if (event->button() == Qt::RightButton && m_mouse.fit) m_mouse.fit();
        QChartView::mousePressEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && m_pressed && !chart()->series().isEmpty()) {
            const double from = ValueX(*m_pressed);
            const double to = ValueX(event->position());
            constexpr double kDragThreshold_px = 4.0;
            if (std::abs(event->position().x() - m_pressed->x()) > kDragThreshold_px) {
                if (m_mouse.zoom) m_mouse.zoom(from, to);
            } else if (m_mouse.cursor) {
                m_mouse.cursor(event->modifiers() & Qt::ShiftModifier ? 1 : 0, to);
            }
        }
        m_pressed.reset();
        QChartView::mouseReleaseEvent(event);
    }

private:
    double ValueX(QPointF widgetPoint) const {
        return chart()->mapToValue(chart()->mapFromScene(mapToScene(widgetPoint.toPoint()))).x();
    }

    ChartMouse m_mouse;
    std::optional<QPointF> m_pressed;
};

// The charts of one graph: one per plot area that has curves, stacked, sharing the X range.
class GraphPanel : public QWidget {
public:
    explicit GraphPanel(QWidget* parent, ChartMouse mouse = {})
        : QWidget(parent), m_layout(new QVBoxLayout(this)), m_mouse(std::move(mouse)) {
        m_layout->setContentsMargins(0, 0, 0, 0);
        m_layout->setSpacing(0);
    }

    void Clear() {
        for (auto& area : m_areas) delete area.view;
        m_areas.clear();
    }

    // A text that changes whenever the charts' structure must be built again.
    static std::string Signature(const CGraphWindow& window) {
        const CGraphFilter& filter = *window.GetFilter();
        std::string s = filter.m_Title + '\n' + std::to_string(window.GetAreaCount()) + ' ' +
                        std::to_string(filter.m_GridColor) + (filter.m_bLegend ? " L" : " -") + '\n' +
                        filter.XLabel() + '\n';
        for (const auto& c : filter.GetCurves())
            s += std::to_string(c.m_nArea) + ' ' + std::to_string(c.m_nXItem) + ' ' + std::to_string(c.m_nYItem) +
                 ' ' + std::to_string(c.m_Color) + ' ' + std::to_string(c.m_nLineStyle) + ' ' +
                 filter.CurveLabel(c) + '\n';
        return s;
    }

    void Build(const CGraphWindow& window) {
        Clear();
        const CGraphFilter& filter = *window.GetFilter();
        const auto& curves = filter.GetCurves();
        for (int number = 1; number <= window.GetAreaCount(); ++number) {
            const bool used = std::any_of(curves.begin(), curves.end(), [&](const CXYCurve& c) {
                return std::clamp(c.m_nArea, 1, window.GetAreaCount()) == number;
            });
            if (!used && !(number == 1 && curves.empty())) continue;
            Area area;
            area.number = number;
            area.chart = new QChart();
            area.chart->setMargins(QMargins(4, 4, 4, 4));
            area.chart->legend()->setVisible(filter.m_bLegend);
            area.chart->legend()->setAlignment(Qt::AlignRight);
            area.x = new QValueAxis(area.chart);
            area.y = new QValueAxis(area.chart);
            for (QValueAxis* axis : {area.x, area.y}) axis->setGridLineColor(ToQColor(filter.m_GridColor));
            area.chart->addAxis(area.x, Qt::AlignBottom);
            area.chart->addAxis(area.y, Qt::AlignLeft);
            for (const auto& curve : curves) {
                if (std::clamp(curve.m_nArea, 1, window.GetAreaCount()) != number) continue;
                QXYSeries* series = nullptr;
                if (curve.m_nLineStyle == kCurveMarkersOnly) {
                    auto* scatter = new QScatterSeries();
                    scatter->setMarkerSize(4);
                    scatter->setColor(ToQColor(curve.m_Color));
                    scatter->setBorderColor(ToQColor(curve.m_Color));
                    series = scatter;
                } else {
                    series = new QLineSeries();
                    QPen pen(ToQColor(curve.m_Color));
                    pen.setWidth(std::max(1, curve.m_nLineStyle));
                    series->setPen(pen);
                }
                series->setName(QString::fromStdString(filter.CurveLabel(curve)));
                Attach(area, series);
                area.series.push_back({series, curve});
            }
            for (int which = 0; which < 2; ++which) {
                auto* line = new QLineSeries();
                QPen pen(Qt::darkGray);
                pen.setStyle(Qt::DashLine);
                line->setPen(pen);
                Attach(area, line);
                for (QLegendMarker* marker : area.chart->legend()->markers(line)) marker->setVisible(false);
                area.cursors[static_cast<std::size_t>(which)] = line;
            }
            area.view = new ChartView(area.chart, this, m_mouse);
            area.view->setRenderHint(QPainter::Antialiasing);
            area.view->setMinimumHeight(kMinChartHeight_px);
            // Areas share the height alike: the lower one carries the time axis and its title.
            m_layout->addWidget(area.view, 1);
            m_areas.push_back(area);
        }
        if (!m_areas.empty()) {
            m_areas.front().chart->setTitle(QString::fromStdString(filter.m_Title));
            m_areas.back().x->setTitleText(QString::fromStdString(filter.XLabel()));
        }
    }

    // Points [first, first + count) by number since the document's last clear; `replace` starts
    // every curve afresh with them.
    void Load(const CGraphWindow& window, std::uint64_t first, std::uint64_t count, bool replace) {
        const CGraphDocument& doc = window.GetFilter()->GetDocument();
        const std::uint64_t held = doc.GetPointsCount();
        const std::uint64_t oldest = doc.GetAppended() - held;
        for (auto& area : m_areas) {
            for (auto& [series, curve] : area.series) {
                QList<QPointF> points;
                const bool valid = curve.m_nXItem >= 0 && curve.m_nXItem < doc.GetItemsCount() && curve.m_nYItem >= 0 &&
                                   curve.m_nYItem < doc.GetItemsCount();
                if (valid) {
                    points.reserve(static_cast<qsizetype>(count));
                    for (std::uint64_t p = std::max(first, oldest); p < first + count; ++p) {
                        const auto k = static_cast<std::size_t>(p - oldest);
                        points.append(QPointF(doc.GetValue(k, curve.m_nXItem), doc.GetValue(k, curve.m_nYItem)));
                    }
                }
                if (replace) {
                    series->replace(points);
                } else {
                    series->append(points);
                    // The ring dropped its oldest points: so does the curve.
                    const auto excess = series->count() - static_cast<qsizetype>(held);
                    if (excess > 0) series->removePoints(0, static_cast<int>(excess));
                }
            }
        }
    }

    void UpdateAxes(const CGraphWindow& window) {
        const GraphRange x = window.XRange();
        for (auto& area : m_areas) {
            const GraphRange y = window.YRange(area.number);
            area.x->setRange(x.min, x.max);
            area.y->setRange(y.min, y.max);
            for (int which = 0; which < 2; ++which) {
                QLineSeries* line = area.cursors[static_cast<std::size_t>(which)];
                const auto at = window.GetCursor(which);
                if (at)
                    line->replace(QList<QPointF>{{*at, y.min}, {*at, y.max}});
                else
                    line->clear();
            }
        }
    }

    std::size_t DrawnPoints() const {
        std::size_t n = 0;
        for (const auto& area : m_areas)
            for (const auto& entry : area.series) n += static_cast<std::size_t>(entry.first->count());
        return n;
    }

private:
    struct Area {
        int number = 1;
        QChart* chart = nullptr;
        QChartView* view = nullptr;
        QValueAxis* x = nullptr;
        QValueAxis* y = nullptr;
        std::vector<std::pair<QXYSeries*, CXYCurve>> series;
        std::array<QLineSeries*, 2> cursors = {nullptr, nullptr};
    };

    static void Attach(Area& area, QXYSeries* series) {
        area.chart->addSeries(series);
        series->attachAxis(area.x);
        series->attachAxis(area.y);
    }

    QVBoxLayout* m_layout;
    ChartMouse m_mouse;
    std::vector<Area> m_areas;
};

}  // namespace qtgraph

// ---------------------------------------------------------------------------------------------

QtGraphView::QtGraphView(const CDialog& dialog, int controlId, QWidget* parent,
                         std::function<bool(const QPoint&)> menu)
    : QWidget(parent), m_dialog(dialog), m_id(controlId), m_timer(new QTimer(this)) {
    // The mouse acts on the graph the control shows at the time, then the view catches up.
    const auto act = [this](const std::function<void(CGraphWindow&)>& action) {
        if (CGraphWindow* window = FindGraphWindow(&m_dialog, m_id)) {
            action(*window);
            Sync();
        }
    };
    qtgraph::ChartMouse mouse;
    mouse.zoom = [act](double from, double to) { act([&](CGraphWindow& w) { w.ZoomX(from, to); }); };
    mouse.cursor = [act](int which, double x) { act([&](CGraphWindow& w) { w.SetCursor(which, x); }); };
    mouse.fit = [act] { act([](CGraphWindow& w) { w.DoZoomOut(); }); };
    mouse.menu = std::move(menu);
    m_panel = new qtgraph::GraphPanel(this, std::move(mouse));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_panel);
    connect(m_timer, &QTimer::timeout, this, [this] { Sync(); });
    m_timer->start(qtgraph::kSyncInterval_ms);
}

QtGraphView::~QtGraphView() = default;

void QtGraphView::Sync() {
    CGraphWindow* window = FindGraphWindow(&m_dialog, m_id);
    if (!window || !window->GetFilter()) {
        if (m_shown) m_panel->Clear();
        m_shown = nullptr;
        return;
    }
    const CGraphDocument& doc = window->GetFilter()->GetDocument();
    const std::string signature = qtgraph::GraphPanel::Signature(*window);
    const bool rebuilt = window != m_shown || signature != m_signature;
    if (rebuilt) {
        m_panel->Build(*window);
        // A graph of several areas needs room for each one's labels: the form's size for a graph
        // is the least it takes, never a squeeze below what its areas need.
        setMinimumHeight(std::max(minimumHeight(), m_panel->minimumSizeHint().height()));
        m_shown = window;
        m_signature = signature;
    } else if (window->GetRevision() == m_revision && doc.GetAppended() == m_appended &&
               doc.GetGeneration() == m_generation) {
        return;  // nothing new: no work per tick
    }
    const CGraphWindow::Pending pending = window->TakePending();
    if (pending.count != 0 || pending.rebuild || rebuilt)
        m_panel->Load(*window, pending.first, pending.count, pending.rebuild || rebuilt);
    m_panel->UpdateAxes(*window);
    m_revision = window->GetRevision();
    m_appended = doc.GetAppended();
    m_generation = doc.GetGeneration();
}

std::size_t QtGraphView::DrawnPoints() const { return m_panel->DrawnPoints(); }

// ---------------------------------------------------------------------------------------------

QtBarView::QtBarView(const CDialog& dialog, int controlId, QWidget* parent)
    : QWidget(parent), m_dialog(dialog), m_id(controlId) {
    // A bar shows its value as text: a crowded form must not squeeze it away.
    setMinimumHeight(fontMetrics().height() + 6);
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this] {
        const CBarGraph* bar = FindBarGraph(&m_dialog, m_id);
        const std::uint64_t revision = bar ? bar->GetRevision() : 0;
        if (revision != m_revision) update();
    });
    timer->start(qtgraph::kSyncInterval_ms);
}

void QtBarView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(frame, palette().base());
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(frame);
    const CBarGraph* bar = FindBarGraph(&m_dialog, m_id);
    m_revision = bar ? bar->GetRevision() : 0;
    if (!bar) return;
    const QRect inner = frame.adjusted(1, 1, 0, 0);
    const int from = inner.left() + static_cast<int>(bar->ReferenceFraction() * inner.width());
    const int to = inner.left() + static_cast<int>(bar->ValueFraction() * inner.width());
    painter.fillRect(QRect(QPoint(std::min(from, to), inner.top()), QPoint(std::max(from, to), inner.bottom())),
                     qtgraph::ToQColor(bar->GetColor()));
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(inner, Qt::AlignCenter, QString::fromStdString(bar->ValueText()));
}

// ---------------------------------------------------------------------------------------------

std::string WriteGraphPicture(const CGraphWindow& window, const std::string& path, int width_px, int height_px) {
    if (!QApplication::instance()) return path + ": no application object to draw with";
    if (!window.GetFilter()) return path + ": the graph shows nothing yet";
    const bool svg = qtgraph::EndsWith(path, ".svg");
    if (!svg && !qtgraph::EndsWith(path, ".png")) return path + ": a graph picture is .png or .svg";
    if (width_px <= 0 || height_px <= 0) return path + ": the picture needs a positive size";

    qtgraph::GraphPanel panel(nullptr);
    panel.Build(window);
    const CGraphDocument& doc = window.GetFilter()->GetDocument();
    panel.Load(window, doc.GetAppended() - doc.GetPointsCount(), doc.GetPointsCount(), true);
    panel.UpdateAxes(window);
    panel.resize(width_px, height_px);
    // Laid out as if shown, without a window on any screen: the charts size themselves on it.
    panel.setAttribute(Qt::WA_DontShowOnScreen);
    panel.show();
    QCoreApplication::processEvents();

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (svg) {
        QSvgGenerator generator;
        generator.setOutputDevice(&buffer);
        generator.setSize(QSize(width_px, height_px));
        generator.setViewBox(QRect(0, 0, width_px, height_px));
        generator.setTitle(QString::fromStdString(window.GetFilter()->m_Title));
        QPainter painter(&generator);
        panel.render(&painter);
    } else {
        QImage image(width_px, height_px, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        {
            QPainter painter(&image);
            panel.render(&painter);
        }
        if (!image.save(&buffer, "PNG")) return path + ": the PNG could not be encoded";
    }
    panel.hide();
    buffer.close();
    return WriteFileAtomically(path, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

std::string ExportGraphFile(const CGraphWindow& window, const std::string& path) {
    if (!window.GetFilter()) return path + ": the graph shows nothing yet";
    if (qtgraph::EndsWith(path, ".csv")) return window.GetFilter()->WriteCsv(path);
    if (!qtgraph::EndsWith(path, ".png") && !qtgraph::EndsWith(path, ".svg"))
        return path + ": a plot is saved as .csv, .png or .svg";
    if (!EnsureQtApplication()) return path + ": no application object to draw with";
    return WriteGraphPicture(window, path);
}

namespace {

QtMessageHandler g_previousMessageHandler = nullptr;

// The offscreen platform tells of every window it sizes that it cannot pass size hints on; for a
// picture drawn without a screen that is no news, nor is a session without a runtime folder; on a
// command's stderr they read like faults.
void QuietOffscreenNotices(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && (message.contains(QLatin1String("does not support propagateSizeHints")) ||
                                 message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))) {
        return;
    }
    if (g_previousMessageHandler) g_previousMessageHandler(type, context, message);
}

}  // namespace

QApplication* EnsureQtApplication() {
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return existing;
    if (QCoreApplication::instance()) return nullptr;
    const auto set = [](const char* variable) {
        const char* value = std::getenv(variable);
        return value && *value;
    };
    if (!set("QT_QPA_PLATFORM") && !set("DISPLAY") && !set("WAYLAND_DISPLAY")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        g_previousMessageHandler = qInstallMessageHandler(QuietOffscreenNotices);
    }
    // Qt keeps the arguments it was given for the application's whole life. The application is
    // never destroyed: as a static it would go at exit after Qt's own globals (the input device
    // list among them) and crash the process on its way out.
    static int argc = 1;
    static char name[] = "pelmora";
    static char* argv[] = {name, nullptr};
    static QApplication* const application = new QApplication(argc, argv);
    return application;
}

void InstallQtGraphPictures() {
    CGraphWindow::SetPictureWriter(
        [](const CGraphWindow& window, const std::string& path) { return WriteGraphPicture(window, path); });
}
