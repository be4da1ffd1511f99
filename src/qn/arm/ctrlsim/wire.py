"""What the controller's API says on the wire: its actions, their fields and its refusals.

The client (`qn.arm.lumaflow`) writes the same names down on its own side, as a client of a
real controller would; tests/test_ctrlsim.py pins the two lists together.
"""

API_PATH = "/v2/api"

# Actions.
LOGIN = "login"
LIST_ACCOUNTS = "list_accounts"
LIST_GATEWAY_INFO = "list_gateway_info"
ATTACH_SPOKE = "attach_spoke_to_transit_gw"
DETACH_SPOKE = "detach_spoke_from_transit_gw"
ASSOCIATE = "associate_attachment_to_multi_cloud_security_domain"
DISASSOCIATE = "disassociate_attachment_from_multi_cloud_security_domain"
LIST_DOMAIN_ATTACHMENTS = "list_multi_cloud_security_domain_attachments"

# Fields of the requests.
ACTION = "action"
CID_FIELD = "CID"
USERNAME = "username"
PASSWORD = "password"
ACCOUNT_FILTER = "vpc_access_account_name"
SPOKE_GW = "spoke_gw"
TRANSIT_GW = "transit_gw"
ROUTE_TABLES = "route_table_list"  # "name:resource-group" entries, comma-separated
DOMAIN = "domain_name"
ATTACHMENT = "attachment_name"

# Refusals a client acts on: it logs in again after the first, and tries the second again.
SESSION_EXPIRED = "CID is invalid or expired."
BUSY = "is busy with another operation, please try again later."
