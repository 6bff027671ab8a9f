// Per-kind table of what a control's WM_COMMAND notification codes mean, plus
// the few kind-specific numbers auto-size and SetColor need. Each Widget
// carries its own copy (MakeChild copies the record in), so a kind may patch
// its copy after construction. The kinds' tables are in controls.h.
#pragma once
#include <stdint.h>

struct ControlActions {
    uint16_t clickCode;       // notification code that means a click
    uint16_t enterCode;       // the control got the focus
    uint16_t leaveCode;       // the control lost the focus
    uint16_t changeCode;      // the content changed
    uint16_t selChangeCode;   // the selection changed
    uint16_t autoSizeExtraX;  // pixels added to the measured text width
    uint16_t autoSizeExtraY;  // pixels added to the measured text height
    uint16_t setColorMsg;     // sent when the background colour is set; 0 = none
};
