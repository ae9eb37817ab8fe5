"""Small helpers shared by the agent and its platform client."""

import re

# Scan identifiers (commit SHAs or free-form scan ids) are inserted into a
# request path unquoted, so only characters that cannot start a new path
# segment, a query or a fragment are allowed. \Z rather than $ so that a
# trailing newline is rejected too. An identifier made only of dots is never a
# real scan id, and some proxies normalise such path segments away.
_COMMIT_ID_RE = re.compile(r"\A(?!\.+\Z)[A-Za-z0-9._-]{5,}\Z")
