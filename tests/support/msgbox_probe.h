// Between the message-box helpers and the probe they load into the process that shows a
// box: the probe answers a registered message sent to the box's icon control by storing
// the icon kind (MessageBoxIcon + 1) as a window property of that control.
#pragma once

#define TOLVANE_PROBE_MESSAGE L"TolvaneMessageBoxProbe"
#define TOLVANE_PROBE_PROPERTY L"TolvaneMessageBoxIcon"
#define TOLVANE_PROBE_HOOK "TolvaneMessageBoxProbe"
