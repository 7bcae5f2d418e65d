#pragma once
// The device search's figures (korvane_bench --search-sweep): a silent
// sweep of one port against the sum of its probe waits, a device at the
// last setting tried with the default wait, six silent ports together
// against one, and the CPU time the search uses.

#include <QString>

namespace korvane::bench {

/// Runs the search figures against pseudo-terminals (silent: nothing
/// behind them) and korvane-devsim; prints a Markdown table on standard
/// output and returns 0 when every bound held, 1 otherwise.
/// sweepAddresses: addresses 1..N in the silent sweep (247, the whole
/// range, takes about 75 s).
int runSearchBench(const QString &devsimExe, int sweepAddresses);

} // namespace korvane::bench
