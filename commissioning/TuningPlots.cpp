#include "TuningPlots.h"

#include <array>
#include <filesystem>

namespace pelmora {

std::string ExportPlot(const CGraphWindow& graph, const std::string& directory, const std::string& stem) {
    const CGraphFilter* filter = graph.GetFilter();
    if (!filter) return "the plot shows nothing yet";
    const std::filesystem::path base = std::filesystem::path(directory.empty() ? "." : directory) / stem;
    if (std::string error = filter->WriteCsv(base.string() + ".csv"); !error.empty()) return error;
    for (const char* extension : std::array{".svg", ".png"}) {
        if (std::string error = graph.WritePicture(base.string() + extension); !error.empty()) return error;
    }
    return {};
}

}  // namespace pelmora
