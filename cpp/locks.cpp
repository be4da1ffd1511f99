// Locks: removes the management lock that would block changes to a VNet.
#include "cloud.hpp"
#include "operations.hpp"

namespace switchlib {

namespace {

// A VNet lock's address apart from the VNet: no parent resource, so the parent path is "".
constexpr const char* provider_namespace = "Microsoft.Network";
constexpr const char* resource_type = "virtualNetworks";

// next(iterator): the next item, or an invalid object once the iterator is exhausted. Anything
// that is not an iterator fails as next() would make it fail.
nb::object next_item(nb::handle iterator) {
    if (!PyIter_Check(iterator.ptr()))
        raise(PyExc_TypeError, concat("'", nb::handle(Py_TYPE(iterator.ptr())).attr("__name__"),
                                      "' object is not an iterator"));
    PyObject* next = PyIter_Next(iterator.ptr());
    if (next == nullptr) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return nb::object();
    }
    return nb::steal(next);
}

nb::object deleteVnetLock(nb::handle cls, AzureCredentialParam cred, nb::handle vnet,
                          nb::handle indent) {
    Logger log;
    if (equals(cred, nb::none()) || equals(vnet, nb::none()))
        return nb::none();
    // Peering deletion indents these lines so that they nest under its own.
    std::string space = text(checked(PyNumber_Multiply(nb::str(" ").ptr(), indent.ptr())));
    nb::object vnetName = vnet.attr("name");
    log.info(concat(space, "- Delete vnet lock in ", vnetName));
    nb::object lock_client = lock_client_for(cred);
    nb::object locks = lock_client.attr("management_locks");
    nb::object rgName = id_segment(vnet.attr("id"), "RG_I");
    nb::object listing = locks.attr("list_at_resource_level")(rgName, provider_namespace, "",
                                                              resource_type, vnetName);
    guarded(
        [&] {
            // Only the first lock is removed; further locks on the VNet stay in place.
            nb::object lockObj = next_item(listing);
            if (!lockObj.is_valid()) {
                log.info(concat(space, "  no vnet lock found"));
                return;
            }
            nb::object lockName = lockObj.attr("name");
            log.info(concat(space, "  delete lock ", lockName));
            if (!is_true(cls.attr("DryRun")))
                locks.attr("delete_at_resource_level")(rgName, provider_namespace, "",
                                                       resource_type, vnetName, lockName);
        },
        [&](const std::string& error) { log.error(concat(space, "  **Error** ", error)); });
    return nb::none();
}

} // namespace

void register_locks(OperationTable& operations) {
    operations.add("deleteVnetLock", &deleteVnetLock, param("cred"), param("vnet"),
                   param("indent", nb::int_(0)));
}

} // namespace switchlib
