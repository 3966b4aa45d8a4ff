// The setup wizard's sheet: caption, header and watermark bitmaps, first page.
#pragma once

#include "app/wizard97.h"

class CWizardSheet : public CWizard97SheetImpl {
 public:
  CWizardSheet();
};
