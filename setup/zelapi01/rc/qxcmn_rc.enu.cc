// The English texts of the installation library's numbered messages (the
// language library qxcmn_rc, libqxcmn_rc.enu.so). Inserts use the message insert
// syntax: %1 is the first insert (a string unless a !fmt! follows), %n a line feed.
// Keep each text's inserts as its callers pass them; the list is ordered by number.
#include <qxplatform/resources.h>

static const QX_STRING_ENTRY kTexts[] = {
    // Binding libraries and starting threads.
    {1, "The library %1 could not be loaded."},
    {2, "The entry point %1 could not be found in the library %2."},
    {3, "The thread %1 could not be started."},
    // Arguments, files and folders.
    {6, "A required argument of %1 is missing or too long."},
    {13, "The file %1 could not be created or written."},
    {25, "The directory %1 does not exist."},
    {48, "The file %1 could not be opened or read."},
    {229, "There is not enough memory to complete the operation."},
    {316, "The folder could not be determined, or it does not exist."},
    {331, "The response file %1 could not be written: %2"},
    // The registry layer: value name, root, subkey, system error text.
    {32, "The registry value \"%1\" under %2\\%3 could not be written: %4"},
    {45, "The registry value \"%1\" under %2\\%3 could not be read: %4"},
    {139, "The registry key %1\\%2 could not be deleted: %3"},
    {148, "The registry value \"%1\" under %2\\%3 could not be deleted: %4"},
    {312, "The registry key %1\\%2 could not be saved: %3"},
    {313, "The registry key %1\\%2 could not be restored: %3"},
    // Services: the service's name for messages and the system error text.
    {43, "The service control manager could not be opened: %1"},
    {44, "The service %1 could not be created or configured: %2"},
    {125, "The service %1 could not be stopped: %2"},
    {126, "The service %1 has not stopped yet.%nDo you want to keep waiting?"},
    {129, "The service %1 could not be deleted: %2"},
    {146, "The service %1 could not be started: %2"},
    {218, "The status or configuration of the service %1 could not be read: %2"},
    {306, "The user stopped waiting for the services."},
    {411, "The service %1 could not be removed from the dependencies of other services: %2"},
    {413, "The services that depend on %1 could not be stopped: %2"},
    // Callback routing: choices of a question, answers and the registration.
    {231, "Abort, Retry, Ignore"},
    {232, "Retry, Cancel"},
    {233, "Yes, No"},
    {234, "Yes, No, Cancel"},
    {235, "OK, Cancel"},
    {236, "Abort"},
    {237, "Retry"},
    {238, "Ignore"},
    {239, "Yes"},
    {240, "No"},
    {241, "OK"},
    {242, "Cancel"},
    {243, "(unknown answer)"},
    {244, "Question with the choices %1 was answered: %2"},
    {252, "Callbacks are already registered by %1 (process %2!d!) on %3."},
    {256, "The request queue reported an error: %1"},
    {257, "A callback id is already registered: %1"},
    {378, "The callback registration could not be found after its thread started."},
    // Product registration.
    {337, "The component %1 cannot require %2: the component would depend on itself."},
    // System errors: the system's text, and an error that has none.
    {285, "%1"},
    {374, "The system has no text for error %1!d!."},
};
QX_DEFINE_STRING_TABLE(kTexts)
