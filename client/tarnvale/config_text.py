"""Reading the exporter's YAML files (targets, web config) with one kind of message for a file that cannot be read."""


def read_config_text(path: str, error: type[Exception]) -> str:
    """The file's text; `error` saying why when it cannot be read or is not UTF-8."""
    try:
        with open(path, encoding="utf-8") as file:
            return file.read()
    except (OSError, UnicodeDecodeError) as failure:
        raise error(f"cannot read {path}: {getattr(failure, 'strerror', None) or failure}") from None
