"""The client's exceptions. All derive from `DataError`, itself a `ValueError`."""

__all__ = ["DataError", "DateOutOfRange", "UnknownInstrument", "ValidationError"]


class DataError(ValueError):
    """A request the market database cannot answer: malformed input, an unknown id where one is required,
    no data for the date asked."""


class DateOutOfRange(DataError):
    """A date (or a date reached by an offset) lies outside the store's trading calendar or data."""


class UnknownInstrument(DataError):
    """An order_book_id the store does not know, where a known one is required."""


class ValidationError(DataError):
    """An input file was rejected by the importer. `path` and `row` (1-based data row, None for the file as a
    whole) name the offending place."""

    def __init__(self, message: str, path=None, row=None):
        super().__init__(message)
        self.path = path
        self.row = row
