// The binding of image file types to the library's handlers: each type's
// class under HKEY_CLASSES_ROOT gets the icon handler, the thumbnail handler
// and the property sheet handler.
#ifndef LUMETTA_ASSOCIATIONS_H
#define LUMETTA_ASSOCIATIONS_H

#include "lumetta.h"

// Binds one class.  True also when the user kept another product's icon or
// thumbnail handler; false when the name is unusable or a key cannot be written.
bool AssociateFileClass(HWND ownerWindow, const char* className, const char* typeName,
                        bool withPropertySheet);
// Removes only the library's own entries from one class.
void RemoveAssociation(const char* className);
// True when the class's icon handler is the library's.
bool IsAssociated(const char* className);
// Binds the types whose flag is on and unbinds the others (family 1 first),
// then tells the shell that associations changed.
void SyncAssociations(HWND ownerWindow, const BYTE types[FamilyCount]);

// The longest class name that still fits every key path built from it: the
// thumbnail handler's key is the longest.
const size_t ClassNameLimit = 126 - (sizeof("\\" ClassThumbnailHandlerKey) - 1);
static_assert(sizeof(ClassThumbnailHandlerKey) >= sizeof(ClassSheetHandlerKey),
              "the limit comes from the longest key");

// Every question the library asks the user goes through here: a Yes/No
// message box with the information icon, true for Yes.  Tests replace it to
// answer without a window.
typedef bool (*QuestionProc)(HWND ownerWindow, const char* text, const char* caption);
extern QuestionProc AskQuestion;

#endif
