"""The one exception type of the client."""


class KeytapError(Exception):
    """An "error" reply from keytap, or a command or start that could not be carried out.

    ``code`` is one of "unknown_accelerator", "not_available", "bad_request", "conflict",
    "forbidden", "exited", "spawn", "timeout", "closed"; the message of a reply is keytap's own.
    """

    def __init__(self, code: str, message: str) -> None:
        super().__init__(message)
        self.code = code
