#include "CallSNP.h"
#include "errors.h"

void CallSNP::convert_to_vcf() {
  throw FatalError("ERROR! The posterior merge mode is not yet available in this build of dorsane");
}
