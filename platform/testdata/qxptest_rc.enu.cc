// A small language resource library for the platform's own tests.
#include <qxplatform/resources.h>

static const QX_STRING_ENTRY kTexts[] = {
    {1, "plain text"},
    {2, "file %1 has %2!d! lines%n"},
    {3,
     "gr\xC3\xBC\xC3\x9F"
     "e \xF0\x9F\x98\x80 end"},  // "grüße 😀 end"
    {7, ""},
};
QX_DEFINE_STRING_TABLE(kTexts)
