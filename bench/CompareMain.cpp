// kesu-compare: the library side by side with the socket limit, ZeroMQ and
// D-Bus. One run writes one record per figure; --report merges the records
// of several runs into one table. bench/compare.sh drives both.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CompareParts.h"
#include "CompareSupport.h"

namespace {

const char kUsage[] =
    "Usage: kesu-compare [--quick] [--parts LIST] [--out FILE]\n"
    "       kesu-compare --profile PART IMPLEMENTATION PAYLOAD_BYTES FRAMES\n"
    "       kesu-compare --report [--plot-data FILE] RECORDS...\n"
    "\n"
    "Runs the comparison and writes one tab-separated record per figure to FILE\n"
    "(standard output by default); progress goes to standard error.\n"
    "  --quick        every part very briefly: proves the benchmarks run\n"
    "  --parts LIST   comma-separated subset of receive,send,latency,zmq,dbus\n"
    "  --profile      one trial of one case, nothing recorded, for a profiler:\n"
    "                 PART receive or send, IMPLEMENTATION kesu, raw or raw+queue\n"
    "  --report       merge the records of one or more runs (median of each\n"
    "                 figure) into one Markdown table on standard output\n";

int usage(int status) {
    std::fputs(kUsage, status == 0 ? stdout : stderr);
    return status;
}

std::set<std::string> splitList(std::string const& list) {
    std::set<std::string> items;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) items.insert(item);
    return items;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kesu_bench;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) return usage(0);

    if (!args.empty() && args[0] == "--report") {
        std::string plotData;
        std::vector<std::string> files;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--plot-data" && i + 1 < args.size())
                plotData = args[++i];
            else
                files.push_back(args[i]);
        }
        if (files.empty()) return usage(2);
        return report(files, plotData);
    }

    if (!args.empty() && args[0] == "--profile") {
        if (args.size() != 5) return usage(2);
        size_t payload = std::strtoul(args[3].c_str(), nullptr, 10);
        uint64_t frames = std::strtoull(args[4].c_str(), nullptr, 10);
        if (frames == 0 || !profileOne(args[1], args[2], payload, frames)) return usage(2);
        return 0;
    }

    Budget budget;
    std::set<std::string> parts = {"receive", "send", "latency", "zmq", "dbus"};
    std::string outPath;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--quick") {
            budget.quick = true;
            budget.trials = 1;
        } else if (args[i] == "--parts" && i + 1 < args.size()) {
            parts = splitList(args[++i]);
        } else if (args[i] == "--out" && i + 1 < args.size()) {
            outPath = args[++i];
        } else {
            return usage(2);
        }
    }

    FILE* out = stdout;
    if (!outPath.empty()) {
        out = std::fopen(outPath.c_str(), "w");
        if (out == nullptr) die(outPath.c_str());
    }
    Records records(out);
    if (parts.count("receive") != 0) runReceivePart(budget, records);
    if (parts.count("send") != 0) runSendPart(budget, records);
    if (parts.count("latency") != 0) runLatencyPart(budget, records);
    if (parts.count("zmq") != 0) runZmqPart(budget, records);
    if (parts.count("dbus") != 0) runDbusPart(budget, records);
    if (out != stdout) std::fclose(out);
    return 0;
}
