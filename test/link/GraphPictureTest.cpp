// The graphs drawn with Qt, offscreen: pictures for the CLI, and the dialog control's view
// taking only new points.
#include "MC_Dialog.h"
#include "MC_Graph.h"
#include "QtGraph.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QChartView>
#include <QMouseEvent>
#include <QImage>
#include <QSvgRenderer>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

namespace fs = std::filesystem;

namespace {

class GraphPicture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(EnsureQtApplication(), nullptr);
        m_dir = fs::temp_directory_path() /
                ("pelmora-graph-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        // A current step response as the current tuning test logs it.
        m_doc.SetItems({{"time", "s"}, {"Current_Reference", "A"}, {"Motor_Current", "A"}, {"Voltage_Reference", "V"}});
        for (int k = 0; k < 100; ++k) {
            const double t = k * 50e-6;
            const double row[] = {t, k < 10 ? 0.0 : 1.0, k < 10 ? 0.0 : 1.0 - std::exp(-(k - 10) / 8.0),
                                  k < 10 ? 0.0 : 20.0 * std::exp(-(k - 10) / 8.0)};
            m_doc.AddPoint(row);
        }
        CGraphFilter& filter = *m_doc.GetAt(0);
        filter.m_Title = "Current step";
        filter.Add(CXYCurve(1, 1, RGB16(2)));
        filter.Add(CXYCurve(2, 3, RGB16(9)));
        filter.Add(CXYCurve(1, 2, RGB16(5)));
        for (auto& curve : filter.GetCurves()) curve.m_nLineStyle = 2;
        m_window.SubclassDlgItem(1361, nullptr, &filter);
        m_window.ApplySettings();
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string Path(const char* name) const { return (m_dir / name).string(); }

    fs::path m_dir;
    CGraphDocument m_doc;
    CGraphWindow m_window{2, 0};
};

int CountPixels(const QImage& image, QColor color) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y).rgb() == color.rgb()) ++n;
    return n;
}

}  // namespace

TEST_F(GraphPicture, APngShowsTheCurvesInTheirColours) {
    // Kept in the build folder for a reviewer to look at.
    fs::create_directories(PELMORA_PICTURE_DIR);
    const std::string path = (fs::path(PELMORA_PICTURE_DIR) / "current-step.png").string();
    ASSERT_EQ(WriteGraphPicture(m_window, path, 640, 400), "");
    QImage image(QString::fromStdString(path));
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(640, 400));
    EXPECT_GT(CountPixels(image, QColor(255, 0, 0)), 50) << "the voltage curve (palette 9) is drawn";
    EXPECT_GT(CountPixels(image, QColor(0, 128, 0)), 50) << "the reference curve (palette 2) is drawn";
}

TEST_F(GraphPicture, AnSvgIsAValidDrawingWithTheTitle) {
    const std::string path = Path("step.svg");
    ASSERT_EQ(WriteGraphPicture(m_window, path), "");
    QSvgRenderer renderer(QString::fromStdString(path));
    EXPECT_TRUE(renderer.isValid());
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("Current step"), std::string::npos);
}

TEST_F(GraphPicture, BadRequestsAreRefusedAndWriteNothing) {
    struct Case {
        const char* name;
        int width, height;
        const char* expected;
    };
    const Case cases[] = {{"plot.bmp", 800, 500, "is .png or .svg"},
                          {"plot.png", 0, 500, "positive size"},
                          {"no/such/folder/plot.png", 800, 500, "no/such/folder"}};
    for (const auto& c : cases) {
        const std::string error = WriteGraphPicture(m_window, Path(c.name), c.width, c.height);
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.name << ": " << error;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), {}), 0) << "no file, not even a temporary one";
}

TEST_F(GraphPicture, CreateWmfWritesAnSvgOnceTheQtBackendDrawsPictures) {
    const auto previous = CGraphWindow::SetPictureWriter({});
    EXPECT_EQ(m_window.CreateWMF(Path("CurrentTuning")), 0) << "no drawing backend: a failure, not a crash";
    InstallQtGraphPictures();
    EXPECT_EQ(m_window.CreateWMF(Path("CurrentTuning")), 1);
    EXPECT_TRUE(QSvgRenderer(QString::fromStdString(Path("CurrentTuning.svg"))).isValid());
    CGraphWindow::SetPictureWriter(previous);
}

TEST_F(GraphPicture, TheControlViewAppendsNewPointsAndDropsWhatTheRingLost) {
    static const FormTemplate form{"plots", {}};
    CDialog dialog(form);
    CGraphDocument scope;
    scope.SetItems({{"time", "s"}, {"IQ", ""}});
    scope.SetCapacity(50);
    scope.GetAt(0)->Add(CXYCurve(1, 1, RGB16(2)));
    CGraphWindow window(4, 0);
    window.SubclassDlgItem(1362, &dialog, scope.GetAt(0));
    QtGraphView view(dialog, 1362, nullptr);
    struct Step {
        int add;
        std::size_t drawn;
    };
    const Step steps[] = {{0, 0}, {30, 30}, {15, 45}, {10, 50}, {200, 50}};
    int t = 0;
    for (const auto& step : steps) {
        for (int i = 0; i < step.add; ++i, ++t) {
            const double row[] = {t * 1e-3, std::sin(t * 0.1)};
            scope.AddPoint(row);
            window.UpdateLastPoint();
        }
        view.Sync();
        EXPECT_EQ(view.DrawnPoints(), step.drawn) << "after adding " << step.add << " (total " << t << ")";
        // Nothing left to draw: the view took it all.
        const auto pending = window.TakePending();
        EXPECT_FALSE(pending.rebuild);
        EXPECT_EQ(pending.count, 0u);
    }
    EXPECT_NEAR(window.XRange().min, (t - 50) * 1e-3, 1e-12) << "the axis follows the ring";
}

TEST_F(GraphPicture, TheCliExportPicksTheFormatByExtension) {
    struct Case {
        const char* name;
        const char* starts_with;  // empty: refused
    };
    const Case cases[] = {{"plot.csv", "time [s],"}, {"plot.SVG", "<?xml"}, {"plot.png", "\x89PNG"}, {"plot.txt", ""}};
    for (const auto& c : cases) {
        const std::string error = ExportGraphFile(m_window, Path(c.name));
        if (!*c.starts_with) {
            EXPECT_NE(error.find(".csv, .png or .svg"), std::string::npos) << c.name << ": " << error;
            continue;
        }
        ASSERT_EQ(error, "") << c.name;
        std::ifstream in(Path(c.name), std::ios::binary);
        std::string head(std::string_view(c.starts_with).size(), '\0');
        in.read(head.data(), static_cast<std::streamsize>(head.size()));
        EXPECT_EQ(head, c.starts_with) << c.name;
    }
}

TEST_F(GraphPicture, TheMouseZoomsPlacesCursorsAndFitsAgain) {
    static const FormTemplate form{"plots", {}};
    CDialog dialog(form);
    m_window.SubclassDlgItem(1361, &dialog, m_doc.GetAt(0));
    QtGraphView view(dialog, 1361, nullptr);
    view.resize(600, 500);
    view.setAttribute(Qt::WA_DontShowOnScreen);
    view.show();
    view.Sync();
    QCoreApplication::processEvents();
    const auto charts = view.findChildren<QChartView*>();
    ASSERT_EQ(charts.size(), 2) << "one chart per plot area";
    QChartView* upper = charts.front();
    const QRectF plot = upper->chart()->plotArea();
    const auto at = [&](double fraction) {
        const QPointF scene = upper->chart()->mapToScene(QPointF(plot.left() + fraction * plot.width(), plot.center().y()));
        return QPointF(upper->mapFromScene(scene));
    };
    const auto send = [&](QEvent::Type type, QPointF where, Qt::MouseButton button, Qt::KeyboardModifiers keys = {}) {
        QMouseEvent event(type, where, upper->mapToGlobal(where), button, type == QEvent::MouseButtonRelease ? Qt::NoButton : button, keys);
        QCoreApplication::sendEvent(upper->viewport(), &event);
    };
    const GraphRange full = m_window.XRange();
    const double span = full.max - full.min;

    send(QEvent::MouseButtonPress, at(0.25), Qt::LeftButton);
    send(QEvent::MouseButtonRelease, at(0.75), Qt::LeftButton);
    ASSERT_TRUE(m_window.IsZoomed()) << "a drag across zooms";
    EXPECT_NEAR(m_window.XRange().min, full.min + 0.25 * span, 0.02 * span);
    EXPECT_NEAR(m_window.XRange().max, full.min + 0.75 * span, 0.02 * span);

    send(QEvent::MouseButtonPress, at(0.5), Qt::LeftButton);
    send(QEvent::MouseButtonRelease, at(0.5), Qt::LeftButton, Qt::ShiftModifier);
    ASSERT_TRUE(m_window.GetCursor(1).has_value()) << "a Shift-click places cursor 1";
    EXPECT_NEAR(*m_window.GetCursor(1), full.min + 0.5 * span, 0.02 * span);
    EXPECT_FALSE(m_window.GetCursor(0).has_value());

    send(QEvent::MouseButtonPress, at(0.5), Qt::RightButton);
    send(QEvent::MouseButtonRelease, at(0.5), Qt::RightButton);
    EXPECT_FALSE(m_window.IsZoomed()) << "a right-click fits everything";
}
