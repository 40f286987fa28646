#pragma once
// The configuration worker's run with its outcome kept in the station's ledger. The record is stored
// before the operator is asked anything further (the INF question, the failure box); a record that
// cannot be stored is reported on stderr and changes nothing the operator sees.

#include "ConfigWorker.h"

namespace editor {

ConfigResult RunAndRecordConfiguration(const ConfigTarget *target, EepromImage *image, ConfigDevice &device,
                                       ConfigWorkerUi &ui);

} // namespace editor
