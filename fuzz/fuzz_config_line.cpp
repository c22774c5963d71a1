// Fuzz target for the configuration line reader, and for resolvePath on the locations it reads.
#include "server/server_config.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void resolveLocations(const ServerConfig& config)
{
    for (const QString* location : {&config.databaseLocation, &config.reportingDatabaseLocation,
                                    &config.assetRoot, &config.backupRoot}) {
        for (const bool relativeToServerFolder : {true, false}) {
            // Whatever a location holds, every other part relies on an absolute path.
            const QString path = resolvePath(config, *location, relativeToServerFolder);
            if (!path.startsWith('/')) {
                std::fprintf(stderr, "location %s resolves to %s\n", qUtf8Printable(*location),
                             qUtf8Printable(path));
                abort();
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), int(size));

    // Line by line, each line with its line feed, as a configuration file is read.
    ServerConfig byLine;
    byLine.serverFolder = "/opt/Brantwell/bw-vellacor/server/";
    for (int start = 0; start < input.size();) {
        const int lineFeed = input.indexOf('\n', start);
        const int end = lineFeed < 0 ? input.size() : lineFeed + 1;
        applyConfigurationLine(byLine, input.mid(start, end - start));
        start = end;
    }
    resolveLocations(byLine);
    return 0;
}
