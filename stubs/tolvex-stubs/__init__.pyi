"""
  
"""
from __future__ import annotations
import typing
__all__: list[str] = ['DeliveryMode', 'Destination', 'DestinationType', 'Direct', 'NonPersistent', 'Null', 'Persistent', 'Queue', 'QueueTemp', 'Tolvex', 'Topic', 'TopicTemp']
class DestinationType:
    """
    Solace Msg DestinationType
    
    Members:
    
      Null : Null
    
      Topic : Topic
    
      Queue : Queue
    
      TopicTemp : TopicTemp
    
      QueueTemp : QueueTemp
    """
    Null: typing.ClassVar[DestinationType]
    Queue: typing.ClassVar[DestinationType]
    QueueTemp: typing.ClassVar[DestinationType]
    Topic: typing.ClassVar[DestinationType]
    TopicTemp: typing.ClassVar[DestinationType]
    __members__: typing.ClassVar[dict[str, DestinationType]]
    @typing.overload
    def __and__(self, other: DestinationType) -> int:
        ...
    @typing.overload
    def __and__(self, other: typing.SupportsInt | typing.SupportsIndex) -> int:
        ...
    @typing.overload
    def __eq__(self, other: DestinationType) -> bool:
        ...
    @typing.overload
    def __eq__(self, other: typing.SupportsInt | typing.SupportsIndex) -> bool:
        ...
    @typing.overload
    def __eq__(self, other: typing.Any) -> bool:
        ...
    @typing.overload
    def __ge__(self, other: DestinationType) -> bool:
        ...
    @typing.overload
    def __ge__(self, other: typing.SupportsInt | typing.SupportsIndex) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    @typing.overload
    def __gt__(self, other: DestinationType) -> bool:
        ...
    @typing.overload
    def __gt__(self, other: typing.SupportsInt | typing.SupportsIndex) -> bool:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __invert__(self) -> typing.Any:
        ...
    @typing.overload
    def __le__(self, other: DestinationType) -> bool:
        ...
    @typing.overload
    def __le__(self, other: typing.SupportsInt | typing.SupportsIndex) -> bool:
        ...
    @typing.overload
    def __lt__(self, other: DestinationType) -> bool:
        ...
    @typing.overload
    def __lt__(self, other: typing.SupportsInt | typing.SupportsIndex) -> bool:
        ...
    @typing.overload
    def __ne__(self, other: DestinationType) -> bool:
        ...
    @typing.overload
    def __ne__(self, other: typing.SupportsInt | typing.SupportsIndex) -> bool:
        ...
    @typing.overload
    def __ne__(self, other: typing.Any) -> bool:
        ...
    @typing.overload
    def __or__(self, other: DestinationType) -> int:
        ...
    @typing.overload
    def __or__(self, other: typing.SupportsInt | typing.SupportsIndex) -> int:
        ...
    @typing.overload
    def __rand__(self, other: DestinationType) -> int:
        ...
    @typing.overload
    def __rand__(self, other: typing.SupportsInt | typing.SupportsIndex) -> int:
        ...
    def __repr__(self) -> str:
        ...
    @typing.overload
    def __ror__(self, other: DestinationType) -> int:
        ...
    @typing.overload
    def __ror__(self, other: typing.SupportsInt | typing.SupportsIndex) -> int:
        ...
    @typing.overload
    def __rxor__(self, other: DestinationType) -> int:
        ...
    @typing.overload
    def __rxor__(self, other: typing.SupportsInt | typing.SupportsIndex) -> int:
        ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @typing.overload
    def __xor__(self, other: DestinationType) -> int:
        ...
    @typing.overload
    def __xor__(self, other: typing.SupportsInt | typing.SupportsIndex) -> int:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class DeliveryMode:
    """
    Solace Msg DeliveryMode
    
    Members:
    
      Direct : Direct
    
      Persistent : Persistent
    
      NonPersistent : NonPersistent
    """
    Direct: typing.ClassVar[DeliveryMode]
    NonPersistent: typing.ClassVar[DeliveryMode]
    Persistent: typing.ClassVar[DeliveryMode]
    __members__: typing.ClassVar[dict[str, DeliveryMode]]
    @typing.overload
    def __and__(self, other: DeliveryMode) -> int:
        ...
    @typing.overload
    def __and__(self, other: typing.SupportsInt | typing.SupportsIndex) -> int:
        ...
    @typing.overload
    def __eq__(self, other: DeliveryMode) -> bool:
        ...
    @typing.overload
    def __eq__(self, other: typing.SupportsInt | typing.SupportsIndex) -> bool:
        ...
    @typing.overload
    def __eq__(self, other: typing.Any) -> bool:
        ...
    @typing.overload
    def __ge__(self, other: DeliveryMode) -> bool:
        ...
    @typing.overload
    def __ge__(self, other: typing.SupportsInt | typing.SupportsIndex) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    @typing.overload
    def __gt__(self, other: DeliveryMode) -> bool:
        ...
    @typing.overload
    def __gt__(self, other: typing.SupportsInt | typing.SupportsIndex) -> bool:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __invert__(self) -> typing.Any:
        ...
    @typing.overload
    def __le__(self, other: DeliveryMode) -> bool:
        ...
    @typing.overload
    def __le__(self, other: typing.SupportsInt | typing.SupportsIndex) -> bool:
        ...
    @typing.overload
    def __lt__(self, other: DeliveryMode) -> bool:
        ...
    @typing.overload
    def __lt__(self, other: typing.SupportsInt | typing.SupportsIndex) -> bool:
        ...
    @typing.overload
    def __ne__(self, other: DeliveryMode) -> bool:
        ...
    @typing.overload
    def __ne__(self, other: typing.SupportsInt | typing.SupportsIndex) -> bool:
        ...
    @typing.overload
    def __ne__(self, other: typing.Any) -> bool:
        ...
    @typing.overload
    def __or__(self, other: DeliveryMode) -> int:
        ...
    @typing.overload
    def __or__(self, other: typing.SupportsInt | typing.SupportsIndex) -> int:
        ...
    @typing.overload
    def __rand__(self, other: DeliveryMode) -> int:
        ...
    @typing.overload
    def __rand__(self, other: typing.SupportsInt | typing.SupportsIndex) -> int:
        ...
    def __repr__(self) -> str:
        ...
    @typing.overload
    def __ror__(self, other: DeliveryMode) -> int:
        ...
    @typing.overload
    def __ror__(self, other: typing.SupportsInt | typing.SupportsIndex) -> int:
        ...
    @typing.overload
    def __rxor__(self, other: DeliveryMode) -> int:
        ...
    @typing.overload
    def __rxor__(self, other: typing.SupportsInt | typing.SupportsIndex) -> int:
        ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @typing.overload
    def __xor__(self, other: DeliveryMode) -> int:
        ...
    @typing.overload
    def __xor__(self, other: typing.SupportsInt | typing.SupportsIndex) -> int:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class Destination:
    dest: str
    dest_type: DestinationType
    def __init__(self, dest: str, dest_type: DestinationType = DestinationType.Topic) -> None:
        ...
class Tolvex:
    body: bytes
    content_type: str
    delivery_mode: DeliveryMode
    dest: Destination
    elide: bool
    is_reply: bool
    json: dict[typing.Any, typing.Any]
    msgpack: dict[typing.Any, typing.Any]
    reply2: Destination
    def __init__(self) -> None:
        ...
    def __repr__(self) -> str:
        ...
    @property
    def cos(self) -> int:
        ...
    @cos.setter
    def cos(self, arg1: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def is_p2p(self) -> bool:
        ...
    @property
    def is_request(self) -> bool:
        ...
Direct: DeliveryMode
NonPersistent: DeliveryMode
Null: DestinationType
Persistent: DeliveryMode
Queue: DestinationType
QueueTemp: DestinationType
Topic: DestinationType
TopicTemp: DestinationType
