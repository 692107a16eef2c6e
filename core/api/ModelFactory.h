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

// Registers a driver class's constructor; one static object per class file.
class CModelRegistrar {
public:
    CModelRegistrar(const char* szClassName, CameraConstructor ctor);
};

// Test seam, not exported: puts a constructor behind a product ID (null removes it).
void SetCameraConstructorForTest(int iProductID, CameraConstructor ctor);

#endif
