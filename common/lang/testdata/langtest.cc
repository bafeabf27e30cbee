// A language library for the tests: one text naming its language.
#include <qxplatform/resources.h>

static const QX_STRING_ENTRY kTexts[] = {
    {1, "text of " LANG_CODE},
    {2, "a longer text whose library name is cut"},
};
QX_DEFINE_STRING_TABLE(kTexts)
