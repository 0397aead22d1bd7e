#include "CallSNP.h"
#include "errors.h"

void CallSNP::vcf_decompose() {
  throw FatalError(
      "ERROR! The multi-allelic decomposition mode is not yet available in this build of dorsane");
}
