// Protocol-1 decoder: reads values written under the older protocol.
#include "kel_2.h"
#include "kel_codec.h"

void kel1_init() {
    PyDateTimeAPI = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    // kel2_init reports a missing capsule once the class lookups have run.
    PyErr_Clear();
}

bool kel1_datetime_api_ready() { return PyDateTimeAPI != nullptr; }

PyObject* to_value_prot1_range(const unsigned char*, size_t) {
    kel::set_invalid_marker_error();
    return nullptr;
}

PyObject* to_value_prot1(PyObject* py_bytes) {
    return to_value_prot1_range(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(py_bytes)),
                                static_cast<size_t>(PyBytes_GET_SIZE(py_bytes)));
}
