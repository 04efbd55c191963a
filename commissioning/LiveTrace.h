// One live signal drawn as a rolling trace in a dialog's graph control while a test reads it
// from the drive. Without a screen the samples are simply kept, so a script or test can look at
// what the user would have seen.
#pragma once

#include "MC_Graph.h"

#include <cstddef>
#include <string>

class CDialog;

namespace pelmora {

class CLiveTrace {
public:
    // Points a trace keeps: the newest ones scroll through the pane.
    static constexpr std::size_t kCapacity = 1000;

    CLiveTrace();

    // Shows the trace in graph control `id` of `dialog`.
    bool SubclassDlgItem(int id, CDialog* dialog);
    // Starts an empty trace of the named signal in `unit`.
    void Initialize(const std::string& name, const std::string& unit);
    void SetVerticalRange(double lo, double hi);
    void SetColor(GraphColor color);
    // Appends a sample; a value that is not finite is not drawn.
    void SetCurrentValue(double time_s, double value);
    // The newest sample is to be drawn.
    void UpdateLastPoint() { m_window.UpdateLastPoint(); }

    const CGraphDocument& GetDocument() const { return m_document; }
    const CGraphWindow& GetWindow() const { return m_window; }
    // The value of the newest sample, or 0 before any.
    double GetCurrentValue() const;

private:
    CGraphDocument m_document;
    CGraphFilter* m_filter = nullptr;
    CGraphWindow m_window;
    GraphColor m_color = 0;
    double m_lo = 0.0;
    double m_hi = 1.0;
};

}  // namespace pelmora
