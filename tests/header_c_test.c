/* The public header compiles as C on its own. */
#include "api/exports.h"

int kn_header_compiles_as_c(void)
{
    DvrTime t = {2009, 1, 2, 3, 4, 5};
    return t.nYear == 2009 && sizeof(DvrFileRecord) == 13 * 4;
}
