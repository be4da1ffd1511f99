// Locks: removes the management lock that would block changes to a VNet.
#include "cloud.hpp"
#include "dry_run.hpp"
#include "helpers.hpp"
#include "registration.hpp"

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

// The lock the removal deletes, of a listing still to be read: the first it yields; any further
// locks on the VNet stay in place. An invalid object when the listing is empty.
nb::object first_lock(nb::handle listing) {
    return next_item(listing);
}

void delete_vnet_lock(nb::handle cls, AzureCredentialParam cred, nb::handle vnet,
                      nb::handle indent) {
    Logger log;
    if (cred.equal(nb::none()) || vnet.equal(nb::none()))
        return;
    // Peering deletion indents these lines so that they nest under its own.
    std::string space = text(nb::str(" ") * indent);
    nb::object vnet_name = vnet.attr("name");
    log.info(space, "- Delete vnet lock in ", vnet_name);
    nb::object lock_client = lock_client_for(cred);
    nb::object locks = lock_client.attr("management_locks");
    nb::object rg_name = resource_group_of(vnet);
    nb::object listing = locks.attr("list_at_resource_level")(rg_name, provider_namespace, "",
                                                              resource_type, vnet_name);
    guarded(
        [&] {
            nb::object lock = first_lock(listing);
            if (!lock.is_valid()) {
                log.info(space, "  no vnet lock found");
                return;
            }
            nb::object lock_name = lock.attr("name");
            log.info(space, "  delete lock ", lock_name);
            if (!dry_run(cls))
                locks.attr("delete_at_resource_level")(rg_name, provider_namespace, "",
                                                       resource_type, vnet_name, lock_name);
        },
        [&](const std::string& error) { log.error(space, "  **Error** ", error); });
}

} // namespace

nb::object lock_to_remove(nb::handle locks) {
    nb::object lock = first_lock(checked(PyObject_GetIter(locks.ptr())));
    return lock.is_valid() ? lock : nb::none();
}

void register_locks(OperationTable& table) {
    table.add("deleteVnetLock", &delete_vnet_lock, param("cred"), param("vnet"),
              param("indent", nb::int_(0)));
}

} // namespace switchlib
