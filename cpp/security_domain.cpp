// Security domain: attaches the spoke to the multi-cloud security domain, or detaches it.
#include "collaborators.hpp"
#include "registration.hpp"

namespace switchlib {

namespace {

void attach_spoke_domain(nb::handle /*cls*/, nb::handle attach) {
    nb::object globals = collaborator("Globals");
    if (equals_false(globals.attr("yaml")["configure_gw_name"]))
        return;
    nb::object domain = globals.attr("yaml")["domain"];
    if (domain.is_none())
        return;

    Logger log;
    nb::object cid = globals.attr("CID");
    nb::object attachment = globals.attr("yaml")["spoke_gw_name"];
    nb::object dry_run = globals.attr("getDryRun")();

    bool attaching = is_true(attach);
    nb::dict payload;
    payload["action"] = attaching ? "associate_attachment_to_multi_cloud_security_domain"
                                  : "disassociate_attachment_from_multi_cloud_security_domain";
    payload["CID"] = cid;
    payload["domain_name"] = domain;
    payload["attachment_name"] = attachment;
    if (attaching)
        log.info("- Attach ", attachment, " to domain ", domain);
    else
        log.info("- Detach ", attachment, " from domain ", domain);

    nb::object api_ep_url = globals.attr("api_ep_url");
    if (!is_true(dry_run))
        collaborator("lf").attr("lumaflow_post")(api_ep_url, payload);
}

} // namespace

void register_security_domain(OperationTable& table) {
    table.add("attach_spoke_domain", &attach_spoke_domain, param("attach"));
}

} // namespace switchlib
