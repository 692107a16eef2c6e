// The api part, the top of the core: the exported interface (KYRCamera.cpp,
// declared in include/KYRCamera.h) and the model factory below. It may use
// every other part of the core; no other part includes it. The drivers
// register with the factory.
//
// The product-ID table of the camera line and the model factory, which turns a
// product ID into a driver object. Driver classes register their constructor
// under their class name from their own source file (CModelRegistrar); a
// product whose class has not registered opens as "no class".
#ifndef KYR_MODEL_FACTORY_H
#define KYR_MODEL_FACTORY_H

#include <functional>
#include <string>

class CCameraBase;

#define KYR_VENDOR_ID 0x2e7b
#define KYR_PRODUCT_COUNT 113

typedef CCameraBase* (*CameraConstructor)();

// Copies the product IDs in table order into pIDs unless it is null; returns
// the count either way.
int CopyProductIDs(int* pIDs);

// The driver class name for a product ID, or null (no class, or not ours).
const char* ModelClassName(int iProductID);
// True when the product ID is one of the table's.
bool IsSupportedProduct(int iProductID);
// A new driver object for the product ID, or null when it has no registered class.
CCameraBase* CreateCameraForProduct(int iProductID);

// Whether a registered class can run: true, or false with the reason in
// *pWhy. Runs once, at the factory's first use after the class registered
// (static initialisers of other files may not have run at registration).
typedef std::function<bool(std::string* pWhy)> ClassCheck;

// Registers a driver class's constructor; one static object per class file.
// A class whose check fails is not registered: the reason is logged and
// printed to stderr once, and its products open as "no class".
class CModelRegistrar {
public:
    CModelRegistrar(const char* szClassName, CameraConstructor ctor, ClassCheck fnCheck = nullptr);
};

// Test seam, not exported: puts a constructor behind a product ID (null removes it).
void SetCameraConstructorForTest(int iProductID, CameraConstructor ctor);

#endif
