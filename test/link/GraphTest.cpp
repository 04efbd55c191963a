#include "MC_Dialog.h"
#include "MC_Graph.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A logger's document: time, then the currents.
void MakeLog(CGraphDocument& doc, std::size_t capacity = 0) {
    doc.SetItems({{"time", "s"}, {"Current_Reference", "A"}, {"Motor_Current", "A"}});
    doc.SetCapacity(capacity);
}

void Append(CGraphDocument& doc, double t, double a, double b) {
    const double row[] = {t, a, b};
    ASSERT_TRUE(doc.AddPoint(row)) << "t=" << t;
}

std::vector<double> Column(const CGraphDocument& doc, int item) {
    std::vector<double> values;
    for (std::size_t p = 0; p < doc.GetPointsCount(); ++p) values.push_back(doc.GetValue(p, item));
    return values;
}

std::string Read(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST(GraphDocument, ARingKeepsTheNewestPointsOldestFirst) {
    CGraphDocument doc;
    MakeLog(doc, 4);
    for (int i = 1; i <= 6; ++i) Append(doc, i, 10 * i, -i);
    EXPECT_EQ(doc.GetPointsCount(), 4u);
    EXPECT_EQ(doc.GetAppended(), 6u);
    EXPECT_EQ(Column(doc, 0), (std::vector<double>{3, 4, 5, 6}));
    EXPECT_EQ(Column(doc, 1), (std::vector<double>{30, 40, 50, 60}));
    // Points 5 and 6 overwrote ring slots 0 and 1.
    EXPECT_EQ(doc.RingIndex(0), 2u);
    EXPECT_EQ(doc.RingIndex(3), 1u);
}

TEST(GraphDocument, RowsOfTheWrongWidthOrWithNonFiniteValuesAreRefused) {
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::vector<double>> bad = {{}, {1, 2}, {1, 2, 3, 4}, {nan, 1, 2}, {0, inf, 1}, {0, 1, -inf}};
    CGraphDocument doc;
    MakeLog(doc);
    Append(doc, 0, 1, 2);
    for (const auto& row : bad) {
        EXPECT_FALSE(doc.AddPoint(row)) << "row of " << row.size();
        EXPECT_EQ(doc.GetPointsCount(), 1u) << "row of " << row.size();
    }
    CGraphDocument empty;
    const double row[] = {1.0};
    EXPECT_FALSE(empty.AddPoint(row)) << "a document without items takes no points";
}

// The view's cursor: what it has to draw after each change, by point number since the clear.
TEST(GraphWindow, AViewIsGivenOnlyThePointsItHasNotDrawn) {
    CGraphDocument doc;
    MakeLog(doc, 5);
    CGraphWindow window(2, 0);
    ASSERT_TRUE(window.SubclassDlgItem(1361, nullptr, doc.GetAt(0)));
    struct Step {
        const char* what;
        std::function<void()> change;
        bool rebuild;
        std::uint64_t first;
        std::uint64_t count;
    };
    const std::vector<Step> steps = {
        {"first draw of an empty graph", [] {}, true, 0, 0},
        {"nothing new", [] {}, false, 0, 0},
        {"three points", [&] { for (int i = 0; i < 3; ++i) Append(doc, i, i, i); }, false, 0, 3},
        {"two more, the ring is full", [&] { Append(doc, 3, 0, 0); Append(doc, 4, 0, 0); }, false, 3, 2},
        {"one more overwrites the oldest", [&] { Append(doc, 5, 0, 0); }, false, 5, 1},
        {"more than the ring holds", [&] { for (int i = 6; i < 12; ++i) Append(doc, i, 0, 0); }, true, 7, 5},
        {"RefreshGraph", [&] { window.RefreshGraph(); }, true, 7, 5},
        {"a new recording", [&] { doc.Clear(); Append(doc, 0, 0, 0); }, true, 0, 1},
        {"Invalidate without erase keeps the cursor", [&] { window.Invalidate(false); Append(doc, 1, 0, 0); }, false, 1, 1},
    };
    for (const auto& step : steps) {
        step.change();
        const auto pending = window.TakePending();
        EXPECT_EQ(pending.rebuild, step.rebuild) << step.what;
        EXPECT_EQ(pending.first, step.first) << step.what;
        EXPECT_EQ(pending.count, step.count) << step.what;
    }
}

TEST(GraphWindow, RangesFitTheDataOfEachAreaOrFollowTheZoom) {
    CGraphDocument doc;
    doc.SetItems({{"time", "s"}, {"ref", ""}, {"volt", "V"}});
    CGraphFilter& filter = *doc.GetAt(0);
    filter.Add(CXYCurve(1, 1, RGB16(2)));
    filter.Add(CXYCurve(2, 2, RGB16(8)));
    CGraphWindow window(2, 0);
    window.SubclassDlgItem(1, nullptr, &filter);

    EXPECT_DOUBLE_EQ(window.XRange().min, 0.0) << "no data: a unit range";
    EXPECT_DOUBLE_EQ(window.XRange().max, 1.0);

    Append(doc, 0.0, 0.0, 5.0);
    EXPECT_DOUBLE_EQ(window.YRange(2).min, 4.75) << "one value: a band of 5 % around it";
    EXPECT_DOUBLE_EQ(window.YRange(1).min, -1.0) << "one zero: a band of 1";

    Append(doc, 1.0, 10.0, 5.0);
    Append(doc, 2.0, 20.0, 3.0);
    struct Case {
        const char* what;
        int area;
        double min, max;
    };
    const Case fit[] = {{"area 1", 1, -1.0, 21.0}, {"area 2", 2, 2.9, 5.1}, {"area 9 is the last", 9, 2.9, 5.1}};
    for (const auto& c : fit) {
        EXPECT_NEAR(window.YRange(c.area).min, c.min, 1e-12) << c.what;
        EXPECT_NEAR(window.YRange(c.area).max, c.max, 1e-12) << c.what;
    }
    EXPECT_DOUBLE_EQ(window.XRange().max, 2.0);

    window.ZoomX(1.5, 0.5);  // either order
    EXPECT_DOUBLE_EQ(window.XRange().min, 0.5);
    EXPECT_NEAR(window.YRange(1).min, 9.5, 1e-12) << "Y fits only the points inside the X zoom";
    window.ZoomY(2, 0, 100);
    EXPECT_DOUBLE_EQ(window.YRange(2).max, 100.0);
    window.ZoomX(1.0, std::nan(""));
    EXPECT_DOUBLE_EQ(window.XRange().min, 0.5) << "a NaN zoom is ignored";
    window.DoZoomOut();
    EXPECT_FALSE(window.IsZoomed());
    EXPECT_DOUBLE_EQ(window.XRange().min, 0.0);
    EXPECT_NEAR(window.YRange(2).max, 5.1, 1e-12);
}

TEST(GraphWindow, CursorsReadTheCurvesBetweenPoints) {
    CGraphDocument doc;
    MakeLog(doc);
    Append(doc, 0.0, 0.0, 10.0);
    Append(doc, 1.0, 2.0, 10.0);
    Append(doc, 3.0, 4.0, -10.0);
    doc.GetAt(0)->Add(CXYCurve(1, 1, 0));
    doc.GetAt(0)->Add(CXYCurve(2, 2, 0));
    doc.GetAt(0)->Add(CXYCurve(2, 7, 0));  // an item the document lacks
    CGraphWindow window;
    window.SubclassDlgItem(1, nullptr, doc.GetAt(0));
    struct Case {
        double x;
        std::optional<double> a, b;
    };
    const Case cases[] = {{0.0, 0.0, 10.0}, {0.5, 1.0, 10.0}, {2.0, 3.0, 0.0}, {3.0, 4.0, -10.0},
                          {-0.1, std::nullopt, std::nullopt}, {3.5, std::nullopt, std::nullopt}};
    for (const auto& c : cases) {
        window.SetCursor(1, c.x);
        const auto values = window.ValuesAtCursor(1);
        ASSERT_EQ(values.size(), 3u);
        EXPECT_EQ(values[0], c.a) << "x=" << c.x;
        EXPECT_EQ(values[1], c.b) << "x=" << c.x;
        EXPECT_EQ(values[2], std::nullopt) << "x=" << c.x;
    }
    window.SetCursor(0, std::nullopt);
    EXPECT_EQ(window.ValuesAtCursor(0)[0], std::nullopt);
    window.SetCursor(1, std::numeric_limits<double>::infinity());
    EXPECT_EQ(window.GetCursor(1), 3.5) << "an infinite cursor is ignored";
}

TEST(GraphFilter, CsvHoldsTheShownItemsExactlyWithQuotedNames) {
    const fs::path dir = fs::temp_directory_path() / ("pelmora-graph-csv-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    CGraphDocument doc;
    doc.SetItems({{"time", "s"}, {"Current_Reference", "A"}, {"Motor_Current", "A"}, {"a,\"b\"", ""}});
    const double rows[][4] = {{0, 0.1, 1.0 / 3.0, 7}, {0.0005, -2.5e-7, 123456789.125, 8}};
    for (const auto& row : rows) ASSERT_TRUE(doc.AddPoint(row));
    CGraphFilter& filter = *doc.GetAt(0);
    filter.Add(CXYCurve(1, 3, 0));
    filter.Add(CXYCurve(2, 1, 0));
    filter.Add(CXYCurve(1, 3, 0));  // shown twice, exported once

    ASSERT_EQ(filter.ExportToASCII((dir / "CurrentTuning").string()), 1);
    EXPECT_EQ(Read(dir / "CurrentTuning.csv"),
              "time [s],\"a,\"\"b\"\"\",Current_Reference [A]\n"
              "0,7,0.1\n"
              "0.0005,8,-2.5e-07\n");
    // Without curves every item goes out; numbers read back exactly.
    filter.RemoveAll();
    ASSERT_EQ(filter.WriteCsv((dir / "all.csv").string()), "");
    std::istringstream all(Read(dir / "all.csv"));
    std::string header, line;
    std::getline(all, header);
    std::getline(all, line);
    std::getline(all, line);
    EXPECT_EQ(std::stod(line.substr(line.find(',', line.find(',') + 1) + 1)), 123456789.125) << line;

    const std::string error = filter.WriteCsv((dir / "missing" / "x.csv").string());
    EXPECT_NE(error.find("missing"), std::string::npos) << "the message names the path: " << error;
    EXPECT_EQ(filter.ExportToASCII((dir / "missing" / "x").string()), 0);
    fs::remove_all(dir);
}

TEST(GraphWindow, DialogControlsFindTheirGraphsUntilTheGraphsGo) {
    static const FormTemplate form{"graphs", {}};
    CDialog dialog(form);
    CGraphDocument doc;
    {
        CGraphWindow window(4, 0);
        CBarGraph bar;
        window.SubclassDlgItem(1362, &dialog, doc.GetAt(0));
        bar.SubclassDlgItem(1021, &dialog);
        EXPECT_EQ(FindGraphWindow(&dialog, 1362), &window);
        EXPECT_EQ(FindBarGraph(&dialog, 1021), &bar);
        EXPECT_EQ(FindGraphWindow(&dialog, 1361), nullptr);
        // Subclassing another control moves the graph there.
        window.SubclassDlgItem(1361, &dialog, doc.GetAt(0));
        EXPECT_EQ(FindGraphWindow(&dialog, 1362), nullptr);
        EXPECT_EQ(FindGraphWindow(&dialog, 1361), &window);
        EXPECT_FALSE(window.SubclassDlgItem(1361, &dialog, nullptr)) << "a graph needs a filter";
    }
    EXPECT_EQ(FindGraphWindow(&dialog, 1361), nullptr);
    EXPECT_EQ(FindBarGraph(&dialog, 1021), nullptr);
}

TEST(BarGraph, PositionsFollowTheLimitsAndStayOnTheBar) {
    struct Case {
        double lo, hi, reference, value;
        double reference_fraction, value_fraction;
    };
    const Case cases[] = {
        {-3000, 3000, 0, 1500, 0.5, 0.75},  // a symmetric command range draws from the middle
        {100, 500, 100, 300, 0.0, 0.5},     // a positive one from its low end
        {1.5, -1.5, 0, 3, 0.5, 1.0},        // limits in either order; a value beyond is clamped
        {0, 10, 0, -4, 0.0, 0.0},
        {0, 0, 0, 0, 0.5, 0.5},             // a zero test current: equal limits, no division
    };
    for (const auto& c : cases) {
        CBarGraph bar;
        bar.SetLimits(c.lo, c.hi);
        bar.SetDrawingReference(c.reference);
        bar.SetCurrentValue(c.value);
        EXPECT_DOUBLE_EQ(bar.ReferenceFraction(), c.reference_fraction) << c.lo << ".." << c.hi << " ref " << c.reference;
        EXPECT_DOUBLE_EQ(bar.ValueFraction(), c.value_fraction) << c.lo << ".." << c.hi << " value " << c.value;
    }
    CBarGraph bar;
    bar.SetLimits(-1, 1);
    bar.SetCurrentValue(0.5);
    bar.SetCurrentValue(std::nan(""));
    bar.SetLimits(std::nan(""), 5);
    EXPECT_EQ(bar.GetCurrentValue(), 0.5) << "a NaN value is ignored";
    EXPECT_EQ(bar.GetHigh(), 1.0) << "NaN limits are ignored";
}

TEST(BarGraph, OnlyFormatsWithOneFloatingConversionAreTaken) {
    struct Case {
        const char* format;
        bool taken;
        const char* text;  // of 12.345 when taken
    };
    const Case cases[] = {
        {"%.2f", true, "12.35"}, {"%.2G", true, "12"},     {"%8.1e V", true, " 1.2e+01 V"},
        {"%+g%%", true, "+12.345%"}, {"%s", false, ""},    {"%d", false, ""},
        {"%.2f %.2f", false, ""}, {"no number", false, ""}, {"%n", false, ""},
        {"%", false, ""},         {"%ld", false, ""},       {"%*f", false, ""},
    };
    for (const auto& c : cases) {
        CBarGraph bar;
        bar.SetCurrentValue(12.345);
        EXPECT_EQ(bar.SetValueFormat(c.format), c.taken) << c.format;
        if (c.taken) EXPECT_EQ(bar.ValueText(), c.text) << c.format;
        else EXPECT_EQ(bar.ValueText(), "12.345") << c.format << " must leave %g";
    }
}

TEST(GraphColors, ThePaletteWrapsAndHoldsThePlotColours) {
    EXPECT_EQ(RGB16(0), GraphRGB(0, 0, 0));
    EXPECT_EQ(RGB16(9), GraphRGB(255, 0, 0));
    EXPECT_EQ(RGB16(15), GraphRGB(255, 255, 255));
    EXPECT_EQ(RGB16(16 + 2), RGB16(2));
    EXPECT_EQ(RGB16(-1), RGB16(15));
}
